// Query strings, Basic credentials, the users file and SOAP texts.
#include "tools/zelsim/wire.h"

#include <fstream>
#include <sstream>

namespace zelsim {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Trim(std::string_view s) {
    const char* blanks = " \t\r\n";
    auto b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    auto e = s.find_last_not_of(blanks);
    return std::string(s.substr(b, e - b + 1));
}

}  // namespace

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

Query::Query(std::string_view target) {
    auto q = target.find('?');
    if (q == std::string_view::npos) return;
    std::string_view rest = target.substr(q + 1);
    while (!rest.empty()) {
        auto amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (pair.empty()) continue;
        auto eq = pair.find('=');
        if (eq == std::string_view::npos)
            pairs_.emplace_back(PercentDecode(pair), std::string());
        else
            pairs_.emplace_back(PercentDecode(pair.substr(0, eq)),
                                PercentDecode(pair.substr(eq + 1)));
    }
}

std::optional<std::string> Query::First(std::string_view name) const {
    for (const auto& [n, v] : pairs_)
        if (n == name) return v;
    return std::nullopt;
}

std::optional<std::string> Query::Last(std::string_view name) const {
    for (auto it = pairs_.rbegin(); it != pairs_.rend(); ++it)
        if (it->first == name) return it->second;
    return std::nullopt;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    if (text.size() % 4 == 1) return std::nullopt;
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        int v = value(c);
        if (v < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

bool LoadUsers(const std::string& path, Users* users) {
    users->clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        std::string t = Trim(line);
        if (t.empty() || t[0] == '#') continue;
        auto colon = t.find(':');
        if (colon == std::string::npos) continue;
        (*users)[Trim(std::string_view(t).substr(0, colon))] =
            Trim(std::string_view(t).substr(colon + 1));
    }
    return !in.bad();
}

bool Authorized(const Users& users, std::string_view header) {
    auto blank = header.find(' ');
    if (blank != 5) return false;
    for (std::size_t i = 0; i < 5; ++i)
        if ((header[i] | 0x20) != "basic"[i]) return false;
    auto decoded = DecodeBase64(Trim(header.substr(blank + 1)));
    if (!decoded) return false;
    auto colon = decoded->find(':');
    if (colon == std::string::npos) return false;
    auto it = users.find(decoded->substr(0, colon));
    return it != users.end() && it->second == decoded->substr(colon + 1);
}

std::optional<std::string> TagValue(std::string_view text, std::string_view tag) {
    const std::string open = "<" + std::string(tag) + ">";
    const std::string close = "</" + std::string(tag) + ">";
    auto b = text.find(open);
    if (b == std::string_view::npos) return std::nullopt;
    b += open.size();
    auto e = text.find(close, b);
    if (e == std::string_view::npos) return std::nullopt;
    return Trim(text.substr(b, e - b));
}

std::string SoapFault(int number, const std::string& description) {
    std::ostringstream o;
    o << "<?xml version=\"1.0\"?>\r\n"
      << "<SOAP:Envelope xmlns:SOAP=\"urn:schemas-xmlsoap-org:soap.v1\"><SOAP:Body>"
      << "<SOAP:Fault><faultcode>SOAP:Server</faultcode><faultstring>Server Error"
      << "</faultstring><detail><m:error xmlns:m=\"urn:poll-output\"><errorcode>QVPL" << number
      << "</errorcode><description>" << description << "</description></m:error></detail>"
      << "</SOAP:Fault></SOAP:Body></SOAP:Envelope>\r\n";
    return o.str();
}

}  // namespace zelsim
