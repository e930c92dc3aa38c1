// The central side's directory documents (server list, system information,
// query list), built as text from the settings and the bound ports.
#pragma once

#include <string>

#include "tools/zelsim/options.h"

namespace zelsim {

class Documents {
  public:
    // Borrows s for the object's lifetime.
    Documents(const Settings& s, int http_port, int https_port)
        : s_(s), http_port_(http_port), https_port_(https_port) {}

    bool PollSecure() const { return s_.poll_secure.value_or(https_port_ > 0); }
    std::string ServerList() const;
    std::string SystemInfo() const;
    // Advertises the four operations under /qvgqa/poll/, so a directory
    // refresh leads the dealer side to the operations served here.
    std::string QueryList() const;

  private:
    const Settings& s_;
    int http_port_;
    int https_port_;
};

}  // namespace zelsim
