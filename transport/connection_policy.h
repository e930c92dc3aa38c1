// How this system reaches a server over libcurl, in one place: the URL, the
// headers libcurl would add on its own and we never send, the trusted CAs
// and the TLS leniency, the way to the server (direct, the machine's proxy
// settings, or an explicit proxy with its bypass list), and the time limits
// of ferrun.conf with the per-request deadline.  The request engine applies
// it to every request; the connection tool applies it to its test fetch, so
// a test reaches a server exactly as a transfer would.
//
// Also the RAII holders of the libcurl objects of one request.
#pragma once

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "transport/engine_internal.h"

namespace zel::transport {

struct CurlEasyFree {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
// Owns one easy handle; a request runs on a fresh one that dies with it.
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyFree>;

struct CurlSlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistFree>;

struct X509StoreFree {
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
// Owns one reference to a store of trusted CAs.
using X509StorePtr = std::unique_ptr<X509_STORE, X509StoreFree>;

// Proxy variables by name, as a process environment holds them
// ("http_proxy", "https_proxy", "all_proxy", "no_proxy" and their upper-case
// forms; other names are ignored).
using ProxyEnvironment = std::vector<std::pair<std::string, std::string>>;

// Where one request goes and which way.
struct RequestRoute {
    std::string agent;             // User-Agent
    std::int32_t access_type = 1;  // ACCESS_TYPE_* of access_method.h
    std::string proxy_list;        // ACCESS_TYPE_PROXY: WinInet-style proxy list
    std::string bypass;            // ACCESS_TYPE_PROXY: bypass list ("<local>", ...)
    std::string host;              // name or address; a bare IPv6 address is bracketed here
    int port = 80;
    bool secure = false;         // HTTPS
    std::string resource = "/";  // as it goes into the URL, starting with "/"
    // The machine's settings (the two preconfigured access types) are proxy
    // environment variables.  Null: this process's own, as libcurl reads
    // them.  A caller that checks the way for another process (the service)
    // passes that process's variables, which are then all that count.
    const ProxyEnvironment* machine_environment = nullptr;
};

// What the policy chose for one request, and the state its progress
// callback keeps.  Owned by the caller for the whole transfer; libcurl
// points into it, so it is neither copied nor moved.
class ConnectionSetup {
  public:
    ConnectionSetup() = default;
    ConnectionSetup(const ConnectionSetup&) = delete;
    ConnectionSetup& operator=(const ConnectionSetup&) = delete;

    // Chosen by ApplyConnectionPolicy.
    std::string url;
    // The proxy the request goes through ("http://host:port"); empty when it
    // goes direct or when this process's proxy environment decides.  With a
    // machine_environment given: http_proxy for HTTP; https_proxy or
    // HTTPS_PROXY for HTTPS; else all_proxy or ALL_PROXY; none for the
    // loopback names and for a host that no_proxy (or NO_PROXY) lists ("*",
    // a name, or a domain it ends in).
    std::string proxy;
    bool process_environment = false;  // libcurl reads this process's proxy variables
    RequestTimeouts limits{0, 0};
    char error_text[CURL_ERROR_SIZE] = "";  // libcurl's text of a failure

    // Asked at every progress call with the seconds since the transfer
    // began; returning false ends the transfer (CURLE_ABORTED_BY_CALLBACK)
    // and sets cancelled.  Unset: never asked.
    std::function<bool(double elapsed_seconds)> keep_going;
    bool cancelled = false;
    // The transfer ran past its deadline and was ended.
    bool past_deadline = false;
    double deadline_seconds = 0;  // the limit it passed
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    // Which CAs the request trusts: the CA file and directory and the
    // file's size and time.  A TLS session or kept connection made under one
    // trust must not carry a request made under another, so the caller keeps
    // such things apart by this text.
    std::string trust;

  private:
    friend CURLcode ApplyConnectionPolicy(CURL*, const RequestRoute&,
                                          const std::vector<std::string>&, ConnectionSetup*);
    CurlSlistPtr headers_;
    // The trusted CAs, parsed once for many connections (see the .cpp);
    // null when libcurl loads them itself.
    X509StorePtr trusted_cas_;
};

// Applies the policy to a fresh easy handle: URL, User-Agent, no redirects
// followed, no signals, proxy CONNECT headers kept from the caller, the
// header lines given (libcurl's own Accept and Expect headers removed before
// them), CA file and directory (SSL_CERT_FILE / SSL_CERT_DIR, else libcurl's
// built-in store; parsed once and shared while they stay the same), the peer
// chain verified but host name and certificate
// dates tolerated, the way to the server, the time limits read now from
// ferrun.conf, and a progress callback that ends the transfer at its
// deadline or when keep_going says so.  setup must outlive the transfer.
// Method, body, HTTP version and the data callbacks are the caller's.
// Returns CURLE_OK, or the first libcurl refusal (e.g. CURLE_OUT_OF_MEMORY);
// the handle is then unusable for the request.
[[nodiscard]] CURLcode ApplyConnectionPolicy(CURL* curl, const RequestRoute& route,
                                             const std::vector<std::string>& header_lines,
                                             ConnectionSetup* setup);

}  // namespace zel::transport
