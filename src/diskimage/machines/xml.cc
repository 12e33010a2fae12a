#include "diskimage/machines/xml.h"

#include <stdlib.h>
#include <string.h>

namespace {

const int kDeepest = 64;

struct Parser {
  const std::string& text;
  size_t at = 0;
  bool failed = false;

  bool Starts(const char* prefix) const {
    return text.compare(at, strlen(prefix), prefix) == 0;
  }
  // Skips past `end`; false when it never comes.
  bool SkipPast(const char* end) {
    size_t found = text.find(end, at);
    if (found == std::string::npos) return false;
    at = found + strlen(end);
    return true;
  }
  void SkipBlanks() {
    while (at < text.size() && strchr(" \t\r\n", text[at])) ++at;
  }
};

bool NameCharacter(char c) {
  return c && !strchr(" \t\r\n/>=<\"'", c);
}

void AppendUtf8(std::string* out, unsigned long code) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | code >> 6);
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | code >> 12);
    *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | code >> 18);
    *out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// `raw` with its entities undone.
std::string Unescape(const std::string& raw) {
  static const struct {
    const char* name;
    char c;
  } kNamed[] = {{"amp;", '&'},
                {"lt;", '<'},
                {"gt;", '>'},
                {"quot;", '"'},
                {"apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '&') {
      out += raw[i];
      continue;
    }
    bool done = false;
    for (const auto& entity : kNamed) {
      if (raw.compare(i + 1, strlen(entity.name), entity.name) == 0) {
        out += entity.c;
        i += strlen(entity.name);
        done = true;
        break;
      }
    }
    size_t end = raw.find(';', i);
    if (!done && i + 2 < raw.size() && raw[i + 1] == '#' &&
        end != std::string::npos) {
      bool hex = raw[i + 2] == 'x';
      unsigned long code =
          strtoul(raw.c_str() + i + (hex ? 3 : 2), nullptr, hex ? 16 : 10);
      if (code > 0 && code < 0x110000) AppendUtf8(&out, code);
      i = end;
      done = true;
    }
    if (!done) out += '&';
  }
  return out;
}

std::string LocalName(const std::string& name) {
  size_t colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(colon + 1);
}

// Skips what is no element: comments, declarations, instructions.
bool SkipMarkup(Parser* p) {
  for (;;) {
    p->SkipBlanks();
    if (p->Starts("<!--")) {
      if (!p->SkipPast("-->")) return false;
    } else if (p->Starts("<?")) {
      if (!p->SkipPast("?>")) return false;
    } else if (p->Starts("<!")) {
      if (!p->SkipPast(">")) return false;
    } else {
      return true;
    }
  }
}

bool ParseElement(Parser* p, XmlElement* element, int depth) {
  if (depth > kDeepest || !p->Starts("<")) return false;
  ++p->at;
  size_t start = p->at;
  while (p->at < p->text.size() && NameCharacter(p->text[p->at])) ++p->at;
  if (p->at == start) return false;
  std::string full_name = p->text.substr(start, p->at - start);
  element->name = LocalName(full_name);
  for (;;) {
    p->SkipBlanks();
    if (p->Starts("/>")) {
      p->at += 2;
      return true;
    }
    if (p->Starts(">")) {
      ++p->at;
      break;
    }
    start = p->at;
    while (p->at < p->text.size() && NameCharacter(p->text[p->at])) ++p->at;
    if (p->at == start) return false;
    std::string name = p->text.substr(start, p->at - start);
    p->SkipBlanks();
    if (!p->Starts("=")) return false;
    ++p->at;
    p->SkipBlanks();
    if (p->at >= p->text.size()) return false;
    char quote = p->text[p->at];
    if (quote != '"' && quote != '\'') return false;
    size_t end = p->text.find(quote, p->at + 1);
    if (end == std::string::npos) return false;
    element->attributes[LocalName(name)] =
        Unescape(p->text.substr(p->at + 1, end - p->at - 1));
    p->at = end + 1;
  }
  std::string text;
  for (;;) {
    size_t next = p->text.find('<', p->at);
    if (next == std::string::npos) return false;
    text += p->text.substr(p->at, next - p->at);
    p->at = next;
    if (p->Starts("</")) {
      p->at += 2;
      if (p->text.compare(p->at, full_name.size(), full_name) != 0) {
        return false;
      }
      p->at += full_name.size();
      p->SkipBlanks();
      if (!p->Starts(">")) return false;
      ++p->at;
      element->text = Trim(Unescape(text));
      return true;
    }
    if (p->Starts("<![CDATA[")) {
      size_t end = p->text.find("]]>", p->at);
      if (end == std::string::npos) return false;
      text += p->text.substr(p->at + 9, end - p->at - 9);
      p->at = end + 3;
      continue;
    }
    if (p->Starts("<!--") || p->Starts("<?")) {
      if (!SkipMarkup(p)) return false;
      continue;
    }
    element->children.emplace_back();
    if (!ParseElement(p, &element->children.back(), depth + 1)) return false;
  }
}

}  // namespace

std::string Trim(const std::string& text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(" \t\r\n") - start + 1);
}

bool ParseXml(const std::string& text, XmlElement* root) {
  *root = XmlElement();
  Parser parser{text};
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) parser.at = 3;
  if (!SkipMarkup(&parser) || !ParseElement(&parser, root, 0)) return false;
  return SkipMarkup(&parser) && parser.at == text.size();
}

std::vector<const XmlElement*> Children(const XmlElement& element,
                                        const std::string& name) {
  std::vector<const XmlElement*> found;
  for (const XmlElement& child : element.children) {
    if (child.name == name) found.push_back(&child);
  }
  return found;
}

const XmlElement* Child(const XmlElement& element, const std::string& name) {
  for (const XmlElement& child : element.children) {
    if (child.name == name) return &child;
  }
  return nullptr;
}

std::string Attribute(const XmlElement& element, const std::string& name) {
  auto found = element.attributes.find(name);
  return found == element.attributes.end() ? "" : found->second;
}
