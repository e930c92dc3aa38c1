// What zelsim reads from and writes onto the wire for the transfer
// operations: query strings, Basic credentials, the users file, plain-text
// tag scanning and the SOAP answers.  Pure functions over values.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelsim {

// "%XX" escapes decoded; "+" stays "+" (the dealer side sends values as they
// are, so a "+" in a file name is a plus).  A "%" not followed by two hex
// digits is kept as it is.
std::string PercentDecode(std::string_view text);

// The name=value pairs of a request target's query string, decoded, in the
// order sent (a name may come twice: "Filter" does for uploads).
class Query {
  public:
    explicit Query(std::string_view target);
    // The first or the last value of name, or none.
    std::optional<std::string> First(std::string_view name) const;
    std::optional<std::string> Last(std::string_view name) const;

  private:
    std::vector<std::pair<std::string, std::string>> pairs_;
};

// Standard base64 (padding optional); none for anything else.
std::optional<std::string> DecodeBase64(std::string_view text);

// Known users and their passwords.
using Users = std::map<std::string, std::string>;

// Reads "user:password" lines (CR LF or LF; blank lines and lines starting
// with "#" skipped; both parts trimmed, the password runs to the end of the
// line).  Returns false when the file cannot be read; *users is then empty.
[[nodiscard]] bool LoadUsers(const std::string& path, Users* users);

// True when the Authorization header value ("Basic" in any case, a blank,
// base64 of user ":" password) names a known user with that password.
bool Authorized(const Users& users, std::string_view header);

// The trimmed text between the first "<tag>" and the next "</tag>", or none.
std::optional<std::string> TagValue(std::string_view text, std::string_view tag);

// A SOAP fault that the dealer side reads: "<faultcode>" present, the
// error code as four letters followed by the number, and a description.
std::string SoapFault(int number, const std::string& description);

}  // namespace zelsim
