// The central side's directory documents.
#include "tools/zelsim/documents.h"

#include <sstream>

#include "tools/zelsim/operations.h"

namespace zelsim {

namespace {

std::string Record(const std::string& name, const std::string& address, const std::string& url,
                   bool secure) {
    const char* flag = secure ? "Y" : "N";
    return "<R><SRVI>" + name + "</SRVI><SRVV>001</SRVV><SRVIP>" + address + "</SRVIP><SURL>" +
           url + "</SURL><SSLR>" + flag + "</SSLR><SSLP>" + flag + "</SSLP></R>\r\n";
}

}  // namespace

std::string Documents::ServerList() const {
    const bool secure = PollSecure();
    const int port = secure ? https_port_ : http_port_;
    std::ostringstream o;
    o << "<?xml version=\"1.0\"?>\r\n"
      << "<m:RetrieveServerInformationResponse xmlns:m=\"urn:qvgqa\">\r\n<m:Results>\r\n";
    o << Record("IPOLL", s_.poll_host + ":" + std::to_string(port), kSystemInfoPath, secure);
    for (const auto& name : s_.extra_servers)
        o << Record(name, s_.address + ":" + std::to_string(http_port_), kSystemInfoPath, false);
    o << "</m:Results>\r\n</m:RetrieveServerInformationResponse>\r\n";
    return o.str();
}

std::string Documents::SystemInfo() const {
    std::ostringstream o;
    o << "<?xml version=\"1.0\"?>\r\n<SystemInformation>\r\n";
    for (const auto& [name, value] : s_.interfaces)
        o << "<" << name << ">" << value << "</" << name << ">\r\n";
    if (!s_.omit_qurl) o << "<QURL>" << kQueryListPath << "</QURL>\r\n";
    o << "</SystemInformation>\r\n";
    return o.str();
}

std::string Documents::QueryList() const {
    const char* flag = PollSecure() ? "Y" : "N";
    std::ostringstream o;
    o << "<?xml version=\"1.0\"?>\r\n"
      << "<m:RetrieveQueryInformationResponse xmlns:m=\"urn:qvgqa\">\r\n<m:Results>\r\n";
    for (const char* op : kOperations)
        o << "<R><QN>" << op << "</QN><QV>001</QV><QURL>" << kOperationBase << op << "</QURL><SSLP>"
          << flag << "</SSLP><SSLR>" << flag << "</SSLR></R>\r\n";
    o << "</m:Results>\r\n</m:RetrieveQueryInformationResponse>\r\n";
    return o.str();
}

}  // namespace zelsim
