#include "platform/host/drive/short_name.h"

#include <algorithm>

namespace {

bool InShortSet(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
      (c >= '0' && c <= '9') || c >= 0x80) {
    return true;
  }
  static const char kPunctuation[] = "$%'-_@~`!(){}^#&";
  for (const char* p = kPunctuation; *p; ++p) {
    if (c == static_cast<unsigned char>(*p)) return true;
  }
  return false;
}

bool AllInShortSet(const std::string& text) {
  for (char c : text) {
    if (!InShortSet(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Uppercased, blanks and periods dropped, the rest mapped into the set.
std::string Clean(const std::string& text) {
  std::string out;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == ' ' || c == '.') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    out += InShortSet(u) ? c : '_';
  }
  return out;
}

struct Basis {
  std::string base;       // cleaned, at most six characters
  std::string extension;  // cleaned, at most three characters
  bool operator==(const Basis& other) const {
    return base == other.base && extension == other.extension;
  }
};

Basis BasisOf(const std::string& name) {
  // Leading periods do not start an extension.
  size_t start = name.find_first_not_of('.');
  std::string rest = start == std::string::npos ? "" : name.substr(start);
  size_t dot = rest.rfind('.');
  Basis basis;
  basis.base = Clean(dot == std::string::npos ? rest : rest.substr(0, dot));
  if (dot != std::string::npos) basis.extension = Clean(rest.substr(dot + 1));
  if (basis.base.empty()) basis.base = "_";
  basis.base = basis.base.substr(0, 6);
  basis.extension = basis.extension.substr(0, 3);
  return basis;
}

}  // namespace

bool IsValidShortName(const std::string& name) {
  size_t dot = name.find('.');
  std::string base = name.substr(0, dot);
  if (base.empty() || base.size() > 8 || !AllInShortSet(base)) return false;
  if (dot == std::string::npos) return true;
  std::string extension = name.substr(dot + 1);
  return !extension.empty() && extension.size() <= 3 &&
         AllInShortSet(extension);
}

std::string ShortAlias(const std::vector<std::string>& folder,
                       const std::string& name) {
  Basis basis = BasisOf(name);
  std::vector<std::string> same;
  for (const std::string& entry : folder) {
    if (!IsValidShortName(entry) && BasisOf(entry) == basis) {
      same.push_back(entry);
    }
  }
  if (std::find(same.begin(), same.end(), name) == same.end()) {
    same.push_back(name);
  }
  std::sort(same.begin(), same.end());
  size_t place = static_cast<size_t>(std::find(same.begin(), same.end(), name) -
                                     same.begin()) +
                 1;
  std::string number = "~" + std::to_string(place);
  // The base gives way to a longer number, so the whole stays at eight.
  std::string alias = basis.base.substr(0, 8 - number.size()) + number;
  if (!basis.extension.empty()) alias += "." + basis.extension;
  return alias;
}
