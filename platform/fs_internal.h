// What the operating-system files of the file helpers share (not a public
// header): the order in which a listing hands out names.
#pragma once

#include <string>

namespace zel::fs::detail {

// Compares names without regard to ASCII case; equal names fall back to a
// byte compare so the order is total and the same on every run.
bool NameLess(const std::string& a, const std::string& b);

}  // namespace zel::fs::detail
