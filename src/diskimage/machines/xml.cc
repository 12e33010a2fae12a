#include "diskimage/machines/xml.h"

#include <string.h>

#include <algorithm>
#include <utility>

namespace {

const size_t kDeepest = 4096;      // no emulator nests its elements so deep
const size_t kMostKept = 10000;    // nor writes so many of the kinds read
const size_t kLongestEntity = 12;  // "&#x10FFFF;" and the named five fit

bool Blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool NameCharacter(char c) {
  return c && !Blank(c) && !strchr("/>=<\"'&", c);
}

std::string LocalName(const std::string& name) {
  size_t colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(colon + 1);
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

// The character the entity at `p` (after its '&', `size` bytes at most to
// look at) stands for, appended to `out` where it is not null; the
// entity's length past the '&', or 0 where it is none XML knows.
size_t Entity(const char* p, size_t size, std::string* out) {
  static const struct {
    const char* name;
    char c;
  } kNamed[] = {{"amp;", '&'},
                {"lt;", '<'},
                {"gt;", '>'},
                {"quot;", '"'},
                {"apos;", '\''}};
  size = std::min(size, kLongestEntity);
  const char* end = static_cast<const char*>(memchr(p, ';', size));
  if (!end) return 0;
  size_t length = static_cast<size_t>(end - p) + 1;
  for (const auto& entity : kNamed) {
    if (length == strlen(entity.name) && memcmp(p, entity.name, length) == 0) {
      if (out) *out += entity.c;
      return length;
    }
  }
  if (length < 3 || p[0] != '#') return 0;
  bool hex = p[1] == 'x';
  unsigned long code = 0;
  size_t digits = 0;
  for (const char* d = p + (hex ? 2 : 1); d < end; ++d, ++digits) {
    int value = *d >= '0' && *d <= '9'          ? *d - '0'
                : hex && *d >= 'a' && *d <= 'f' ? *d - 'a' + 10
                : hex && *d >= 'A' && *d <= 'F' ? *d - 'A' + 10
                                                : -1;
    if (value < 0) return 0;
    code = code * (hex ? 16 : 10) + static_cast<unsigned long>(value);
  }
  bool allowed = code == 0x9 || code == 0xA || code == 0xD ||
                 (code >= 0x20 && code <= 0xD7FF) ||
                 (code >= 0xE000 && code <= 0xFFFD) ||
                 (code >= 0x10000 && code <= 0x10FFFF);
  if (digits == 0 || !allowed) return 0;
  if (out) AppendUtf8(out, code);
  return length;
}

// One element open: its name as written, and how far it has gone along
// each kept path (pattern, segments matched); none where it is not kept.
struct Open {
  size_t name_at = 0, name_size = 0;
  XmlElement* element = nullptr;
  std::vector<std::pair<size_t, size_t>> states;
};

struct Segment {
  std::string name;
  bool repeats = false;
};

struct Parser {
  explicit Parser(const std::string& whole) : text(whole) {}
  const std::string& text;
  std::vector<std::vector<Segment>> patterns;
  size_t at = 0;
  size_t line = 1, counted = 0;  // the line at `counted`
  size_t kept = 0;
  std::string error;
  size_t error_at = 0;

  bool Fail(const std::string& reason, size_t where) {
    if (error.empty()) {
      error = reason;
      error_at = where;
    }
    return false;
  }
  bool Starts(const char* prefix) const {
    return text.compare(at, strlen(prefix), prefix) == 0;
  }
  size_t LineAt(size_t where) {
    line += static_cast<size_t>(
        std::count(text.begin() + counted, text.begin() + where, '\n'));
    counted = where;
    return line;
  }
  // Skips past `end`; false when it never comes.
  bool SkipPast(const char* end, const char* what) {
    size_t found = text.find(end, at);
    if (found == std::string::npos)
      return Fail("an unclosed " + std::string(what), at);
    at = found + strlen(end);
    return true;
  }
  void SkipBlanks() {
    while (at < text.size() && Blank(text[at])) ++at;
  }
  // Comments, instructions, declarations and blanks, outside the root.
  bool SkipMisc() {
    for (;;) {
      SkipBlanks();
      if (Starts("<!--")) {
        if (!SkipPast("-->", "comment")) return false;
      } else if (Starts("<?")) {
        if (!SkipPast("?>", "processing instruction")) return false;
      } else if (Starts("<!")) {
        if (!SkipPast(">", "declaration")) return false;
      } else {
        return true;
      }
    }
  }
  // `size` bytes at `from` with their entities undone onto `out` (only
  // checked where it is null).
  bool Unescape(size_t from, size_t size, std::string* out) {
    const char* p = text.data() + from;
    const char* end = p + size;
    while (p < end) {
      const char* amp = static_cast<const char*>(memchr(p, '&', end - p));
      if (!amp) amp = end;
      if (out) out->append(p, amp);
      if (amp == end) break;
      size_t length = Entity(amp + 1, end - amp - 1, out);
      if (length == 0) {
        return Fail("an '&' that begins no entity XML knows",
                    amp - text.data());
      }
      p = amp + 1 + length;
    }
    return true;
  }
  bool Name(size_t* from, size_t* size) {
    *from = at;
    while (at < text.size() && NameCharacter(text[at])) ++at;
    *size = at - *from;
    return *size > 0 || Fail("a name expected", at);
  }
  // The states of a child named `name` of an element in `states` (of the
  // root where `root`).
  std::vector<std::pair<size_t, size_t>> Next(
      const std::vector<std::pair<size_t, size_t>>& states, bool root,
      const std::string& name) const {
    std::vector<std::pair<size_t, size_t>> next;
    for (size_t p = 0; root && p < patterns.size(); ++p) {
      if (patterns[p][0].name == name) next.emplace_back(p, 1);
    }
    for (const auto& [p, matched] : states) {
      const std::vector<Segment>& pattern = patterns[p];
      if (pattern[matched - 1].repeats && pattern[matched - 1].name == name) {
        next.emplace_back(p, matched);
      } else if (matched < pattern.size() && pattern[matched].name == name) {
        next.emplace_back(p, matched + 1);
      }
    }
    return next;
  }
  bool StartTag(std::vector<Open>* stack, XmlElement* root);
  bool Run(XmlElement* root);
};

bool Parser::StartTag(std::vector<Open>* stack, XmlElement* root) {
  size_t start = at;
  ++at;  // '<'
  Open open;
  if (!Name(&open.name_at, &open.name_size)) return false;
  if (stack->size() >= kDeepest) {
    return Fail("elements nested deeper than any machine file's", start);
  }
  std::string name = LocalName(text.substr(open.name_at, open.name_size));
  open.states = Next(stack->empty() ? open.states : stack->back().states,
                     stack->empty(), name);
  if (!open.states.empty()) {
    if (++kept > kMostKept) {
      return Fail("more elements than any machine file holds", start);
    }
    XmlElement* parent = stack->empty() ? nullptr : stack->back().element;
    if (parent) {
      parent->children.emplace_back();
      open.element = &parent->children.back();
    } else {
      open.element = root;
    }
    open.element->name = name;
    open.element->line = LineAt(start);
  }
  for (;;) {
    bool blank = at < text.size() && Blank(text[at]);
    SkipBlanks();
    if (Starts("/>") || Starts(">")) break;
    size_t attribute_at = at, from = 0, size = 0;
    if (!blank) return Fail("a malformed tag", attribute_at);
    if (!Name(&from, &size)) return false;
    SkipBlanks();
    if (!Starts("=")) return Fail("an attribute without a value", at);
    ++at;
    SkipBlanks();
    char quote = at < text.size() ? text[at] : '\0';
    if (quote != '"' && quote != '\'') {
      return Fail("an attribute value not in quotes", at);
    }
    size_t end = text.find(quote, at + 1);
    if (end == std::string::npos)
      return Fail("an unclosed attribute value", at);
    if (memchr(text.data() + at + 1, '<', end - at - 1)) {
      return Fail("a '<' inside an attribute value", at);
    }
    std::string value;
    if (!Unescape(at + 1, end - at - 1, open.element ? &value : nullptr)) {
      return false;
    }
    at = end + 1;
    if (open.element &&
        !open.element->attributes
             .emplace(LocalName(text.substr(from, size)), std::move(value))
             .second) {
      return Fail("an attribute given twice", attribute_at);
    }
  }
  bool empty = Starts("/>");
  at += empty ? 2 : 1;
  if (!empty) stack->push_back(std::move(open));
  return true;
}

bool Parser::Run(XmlElement* root) {
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;
  if (!SkipMisc()) return false;
  if (!Starts("<") || at + 1 >= text.size() || !NameCharacter(text[at + 1])) {
    return Fail("no root element", at);
  }
  std::vector<Open> stack;
  if (!StartTag(&stack, root)) return false;
  std::string raw;
  while (!stack.empty()) {
    size_t next = text.find('<', at);
    if (next == std::string::npos) {
      return Fail("an element never closed", stack.back().name_at - 1);
    }
    XmlElement* element = stack.back().element;
    if (!Unescape(at, next - at, element ? &element->text : nullptr)) {
      return false;
    }
    at = next;
    if (Starts("</")) {
      size_t tag = at;
      at += 2;
      const Open& open = stack.back();
      if (text.compare(at, open.name_size, text, open.name_at,
                       open.name_size) != 0 ||
          (at + open.name_size < text.size() &&
           NameCharacter(text[at + open.name_size]))) {
        return Fail("an end tag that closes no open element", tag);
      }
      at += open.name_size;
      SkipBlanks();
      if (!Starts(">")) return Fail("a malformed end tag", tag);
      ++at;
      if (element) {  // trimmed in place: the text may be most of the file
        std::string& text = element->text;
        text.erase(text.find_last_not_of(" \t\r\n") + 1);
        text.erase(0, std::min(text.size(), text.find_first_not_of(" \t\r\n")));
      }
      stack.pop_back();
    } else if (Starts("<![CDATA[")) {
      size_t end = text.find("]]>", at);
      if (end == std::string::npos)
        return Fail("an unclosed CDATA section", at);
      if (element) element->text.append(text, at + 9, end - at - 9);
      at = end + 3;
    } else if (Starts("<!--")) {
      if (!SkipPast("-->", "comment")) return false;
    } else if (Starts("<?")) {
      if (!SkipPast("?>", "processing instruction")) return false;
    } else if (Starts("<!")) {
      return Fail("a declaration inside an element", at);
    } else if (!StartTag(&stack, root)) {
      return false;
    }
  }
  if (!SkipMisc()) return false;
  return at == text.size() || Fail("content after the root element", at);
}

}  // namespace

bool ParseXml(const std::string& text, const std::vector<std::string>& kept,
              XmlElement* root, std::string* why) {
  *root = XmlElement();
  Parser parser(text);
  for (const std::string& path : kept) {
    std::vector<Segment> pattern;
    for (size_t at = 0; at <= path.size();) {
      size_t slash = std::min(path.find('/', at), path.size());
      Segment segment{path.substr(at, slash - at)};
      if (!segment.name.empty() && segment.name.back() == '+') {
        segment.name.pop_back();
        segment.repeats = true;
      }
      pattern.push_back(segment);
      at = slash + 1;
    }
    parser.patterns.push_back(pattern);
  }
  if (parser.Run(root)) return true;
  *why = "line " + std::to_string(parser.LineAt(parser.error_at)) + ": " +
         parser.error;
  return false;
}

std::string XmlRootName(const std::string& head) {
  Parser parser(head);
  if (head.compare(0, 3, "\xEF\xBB\xBF") == 0) parser.at = 3;
  size_t from = 0, size = 0;
  if (!parser.SkipMisc() || !parser.Starts("<")) return "";
  ++parser.at;
  if (!parser.Name(&from, &size)) return "";
  return LocalName(head.substr(from, size));
}

std::string Trim(const std::string& text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(" \t\r\n") - start + 1);
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

const std::string& Attribute(const XmlElement& element,
                             const std::string& name) {
  static const std::string kNone;
  auto found = element.attributes.find(name);
  return found == element.attributes.end() ? kNone : found->second;
}
