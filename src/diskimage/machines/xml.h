// Just enough XML for the machine files emulators keep (VirtualBox's
// .vbox, libvirt's domains): elements with their attributes and text,
// nested; comments, declarations and processing instructions skipped, the
// five named entities and numeric ones undone. A file that is not well
// formed, or is deeper or larger than a machine file ever is, is no XML.
#ifndef DOSSETUP_DISKIMAGE_MACHINES_XML_H_
#define DOSSETUP_DISKIMAGE_MACHINES_XML_H_

#include <map>
#include <string>
#include <vector>

struct XmlElement {
  std::string name;  // without a namespace prefix
  std::map<std::string, std::string> attributes;
  std::string text;  // the text directly inside it, trimmed
  std::vector<XmlElement> children;
};

// Parses `text` into its root element; false when it is no XML.
bool ParseXml(const std::string& text, XmlElement* root);

// `text` without the blanks (spaces, tabs, line ends) around it.
std::string Trim(const std::string& text);

// The children of `element` named `name`.
std::vector<const XmlElement*> Children(const XmlElement& element,
                                        const std::string& name);
// The first child named `name`, or null.
const XmlElement* Child(const XmlElement& element, const std::string& name);
// An attribute's value, or "".
std::string Attribute(const XmlElement& element, const std::string& name);

#endif  // DOSSETUP_DISKIMAGE_MACHINES_XML_H_
