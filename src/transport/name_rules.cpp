#include "transport/name_rules.h"

namespace parlivo {
namespace {

// Control characters, and the code page's five undefined bytes (they stand
// for the C1 controls of the same value).
bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F || c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

// The no-break space and the soft hyphen: a reader cannot tell them from a
// space, or see them at all.
bool IsInvisible(unsigned char c) { return c == 0xA0 || c == 0xAD; }

}  // namespace

const char* NameFault(std::string_view name) {
  if (name.size() > kMaxNameBytes) return "is longer than 1024 bytes";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsControl(byte)) return "holds a control character";
    if (IsInvisible(byte)) return "holds an invisible character";
  }
  if (!name.empty() && (name.front() == ' ' || name.back() == ' ')) return "begins or ends with a blank";
  if (name.find(" @ ") != std::string_view::npos || name.find("]: ") != std::string_view::npos)
    return "holds \" @ \" or \"]: \", which set apart a relayed text's sender";
  return nullptr;
}

}  // namespace parlivo
