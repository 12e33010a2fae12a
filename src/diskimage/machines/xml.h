// Just enough XML for the machine files emulators keep (VirtualBox's
// .vbox, libvirt's domains), read in one pass: the whole file is checked
// to be well formed (elements nested and closed, attributes quoted, the
// five named entities and numeric ones, comments, declarations and
// processing instructions), but only the elements a reader asks for are
// kept, so that no file makes this program take more than a few times its
// own size in memory, or more than linear time.
#ifndef DOSSETUP_DISKIMAGE_MACHINES_XML_H_
#define DOSSETUP_DISKIMAGE_MACHINES_XML_H_

#include <stddef.h>

#include <map>
#include <string>
#include <vector>

struct XmlElement {
  std::string name;  // without a namespace prefix
  std::map<std::string, std::string> attributes;
  std::string text;  // the text directly inside it, trimmed
  size_t line = 0;   // where it starts
  std::vector<XmlElement> children;
};

// Parses `text` into its root element, keeping the elements whose path
// from the root (names joined by '/', "domain/devices/disk") is one of
// `kept` or leads to one; a name ending in '+' stands for that name once
// or more ("HardDisks/HardDisk+"). False, with `why` naming the line, for
// a text that is not well formed, nests deeper or keeps more elements
// than any machine file.
bool ParseXml(const std::string& text, const std::vector<std::string>& kept,
              XmlElement* root, std::string* why);

// The name of the root element `head` (a file's first bytes) opens, or ""
// where it opens none.
std::string XmlRootName(const std::string& head);

// `text` without the blanks (spaces, tabs, line ends) around it.
std::string Trim(const std::string& text);

// The children of `element` named `name`.
std::vector<const XmlElement*> Children(const XmlElement& element,
                                        const std::string& name);
// The first child named `name`, or null.
const XmlElement* Child(const XmlElement& element, const std::string& name);
// An attribute's value, or "".
const std::string& Attribute(const XmlElement& element,
                             const std::string& name);

#endif  // DOSSETUP_DISKIMAGE_MACHINES_XML_H_
