// The connection policy of every request (see connection_policy.h).  Owns
// the process's parsed store of trusted CAs; beyond that, nothing but the
// header list and the store reference it leaves in the caller's
// ConnectionSetup.
#include "transport/connection_policy.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <strings.h>

#include <cstdlib>
#include <mutex>

#include "platform/fs.h"
#include "transport/engine_internal.h"

namespace zel::transport {
namespace {

// Expired and not-yet-valid server certificates are accepted, as the
// component has always done; every other verification error still fails,
// so the chain must lead to a trusted CA.
int LenientVerify(int preverify_ok, X509_STORE_CTX* ctx) {
    if (preverify_ok == 0) {
        int err = X509_STORE_CTX_get_error(ctx);
        if (err == X509_V_ERR_CERT_HAS_EXPIRED || err == X509_V_ERR_CERT_NOT_YET_VALID) {
            X509_STORE_CTX_set_error(ctx, X509_V_OK);
            return 1;
        }
    }
    return preverify_ok;
}

// CURLOPT_SSL_CTX_FUNCTION: the shared store of trusted CAs when there is
// one; expired and not-yet-valid server certificates pass; every other
// verification error still fails.  The leniency belongs to the connection's
// context, never to the shared store.
CURLcode OnSslContext(CURL*, void* ssl_ctx, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
    auto* store = static_cast<X509_STORE*>(user);
    if (store != nullptr) SSL_CTX_set1_cert_store(ctx, store);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, LenientVerify);
    return CURLE_OK;
}

// libcurl parses the CA file afresh for every TLS connection, and a
// system's whole bundle takes many milliseconds to parse: with a connection
// per request, far more than the handshake itself.  So the store is built
// once and shared by the connections while the file and directory stay the
// same: the same names, the file's size and time unchanged, and not older
// than a minute (a file rewritten within the same second at the same size
// is seen then at the latest).  The store gets the flags that libcurl gives
// its own (trusted certificates first, and any trusted certificate may end
// a chain), so a chain is judged exactly as before.
class TrustedCaCache {
  public:
    // A new reference to the store for this trust, or null when the file or
    // the directory cannot be loaded (libcurl then loads them itself and
    // reports the failure in its own words).
    X509StorePtr Get(const std::string& trust, const char* ca_file, const char* ca_dir) {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        if (!store_ || trust != trust_ || now - built_ > kMaxAge) {
            store_.reset();
            X509StorePtr store(X509_STORE_new());
            if (!store) return nullptr;
            X509_STORE_set_flags(store.get(), X509_V_FLAG_TRUSTED_FIRST);
            X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
            if (ca_file != nullptr && *ca_file != '\0' &&
                X509_STORE_load_file(store.get(), ca_file) != 1)
                return nullptr;
            if (ca_dir != nullptr && *ca_dir != '\0' &&
                X509_STORE_load_path(store.get(), ca_dir) != 1)
                return nullptr;
            store_ = std::move(store);
            trust_ = trust;
            built_ = now;
        }
        if (X509_STORE_up_ref(store_.get()) != 1) return nullptr;
        return X509StorePtr(store_.get());
    }

  private:
    static constexpr std::chrono::seconds kMaxAge{60};
    std::mutex mutex_;
    X509StorePtr store_;
    std::string trust_;
    std::chrono::steady_clock::time_point built_;
};

// One per process, or per loading of the component: freed when that ends,
// before OpenSSL's own end (OpenSSL was set up before the first request
// made the cache).
TrustedCaCache& TrustedCas() {
    static TrustedCaCache cache;
    return cache;
}

// The text that tells one trust from another: both names, and the file's
// size and time ("-" when it cannot be read).
std::string TrustOf(const char* ca_file, const char* ca_dir) {
    std::string trust = std::string(ca_file != nullptr ? ca_file : "") + '\n' +
                        (ca_dir != nullptr ? ca_dir : "") + '\n';
    zel::fs::FileInfo info;
    if (ca_file != nullptr && *ca_file != '\0' && zel::fs::GetFileInfo(ca_file, &info) == 0)
        trust += std::to_string(info.size) + ' ' + std::to_string(info.modified);
    else
        trust += '-';
    return trust;
}

// Appends a copy of line to list; false (list unchanged) when out of memory.
bool AppendHeader(CurlSlistPtr& list, const std::string& line) {
    curl_slist* next = curl_slist_append(list.get(), line.c_str());
    if (next == nullptr) return false;
    // curl_slist_append returns the same list head with the line added.
    (void)list.release();
    list.reset(next);
    return true;
}

std::string UrlHost(const std::string& host) {
    // A bare IPv6 address needs brackets inside a URL.
    if (host.find(':') != std::string::npos && (host.empty() || host.front() != '['))
        return "[" + host + "]";
    return host;
}

const std::string* Lookup(const ProxyEnvironment& env, const char* name) {
    for (const auto& [key, value] : env)
        if (key == name) return &value;
    return nullptr;
}

// The first of the names that is set and not empty, or "".
std::string FirstSet(const ProxyEnvironment& env, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const std::string* value = Lookup(env, name);
        if (value != nullptr && !value->empty()) return *value;
    }
    return "";
}

// no_proxy as libcurl reads it: entries separated by commas (blanks
// around them ignored); "*" matches every host; any other entry matches the
// host itself or, with or without a leading dot, any name ending in "." and
// the entry.
bool NoProxyMatches(const std::string& list, const std::string& host) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string entry = list.substr(start, comma - start);
        start = comma + 1;
        const std::size_t first = entry.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        entry = entry.substr(first, entry.find_last_not_of(" \t") - first + 1);
        if (entry == "*") return true;
        if (entry.front() == '.') entry.erase(0, 1);
        if (entry.empty()) continue;
        if (strcasecmp(entry.c_str(), host.c_str()) == 0) return true;
        if (host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
            strcasecmp(host.c_str() + host.size() - entry.size(), entry.c_str()) == 0)
            return true;
    }
    return false;
}

std::string EnvironmentProxy(const ProxyEnvironment& env, const std::string& host, bool secure) {
    if (IsLoopbackName(host)) return "";
    if (NoProxyMatches(FirstSet(env, {"no_proxy", "NO_PROXY"}), host)) return "";
    // libcurl reads http_proxy in lower case only.
    std::string proxy =
        secure ? FirstSet(env, {"https_proxy", "HTTPS_PROXY"}) : FirstSet(env, {"http_proxy"});
    if (proxy.empty()) proxy = FirstSet(env, {"all_proxy", "ALL_PROXY"});
    if (!proxy.empty() && proxy.find("://") == std::string::npos) proxy = "http://" + proxy;
    return proxy;
}

// Ends the transfer when the caller says so or once it has run longer than
// its deadline.
int OnPolicyProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                     curl_off_t ulnow) {
    auto* s = static_cast<ConnectionSetup*>(user);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - s->started;
    if (s->keep_going && !s->keep_going(elapsed.count())) {
        s->cancelled = true;
        return 1;
    }
    auto count = [](curl_off_t n) { return n > 0 ? static_cast<std::uint64_t>(n) : 0u; };
    // libcurl reports the answer's Content-Length as dltotal once it is known.
    const double allowed =
        RequestDeadline(s->limits, count(ultotal) + count(dltotal), count(ulnow) + count(dlnow));
    if (elapsed.count() <= allowed) return 0;
    s->past_deadline = true;
    s->deadline_seconds = allowed;
    return 1;
}

}  // namespace

CURLcode ApplyConnectionPolicy(CURL* curl, const RequestRoute& route,
                               const std::vector<std::string>& header_lines,
                               ConnectionSetup* setup) {
    ConnectionSetup& s = *setup;
    s.url = std::string(route.secure ? "https://" : "http://") + UrlHost(route.host) + ":" +
            std::to_string(route.port) + route.resource;
    s.limits = ReadRequestTimeouts(RequestTimeouts::kDefaultConnectTimeout,
                                   RequestTimeouts::kDefaultIdleTimeout);
    s.started = std::chrono::steady_clock::now();

    // libcurl sends Host and User-Agent itself; every other header is
    // exactly the caller's.  Its own Accept and Expect headers are
    // suppressed.
    bool ok = AppendHeader(s.headers_, "Accept:") && AppendHeader(s.headers_, "Expect:");
    for (const std::string& line : header_lines) ok = ok && AppendHeader(s.headers_, line);
    if (!ok) return CURLE_OUT_OF_MEMORY;

    CURLcode rc = curl_easy_setopt(curl, CURLOPT_URL, s.url.c_str());
    if (rc != CURLE_OK) return rc;
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, s.error_text);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    rc = curl_easy_setopt(curl, CURLOPT_USERAGENT, route.agent.c_str());
    if (rc != CURLE_OK) return rc;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, s.headers_.get());
    curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);

    // Timeouts: a connect limit; an end to a transfer that moves less than
    // the minimum speed for the idle limit (a silent server and one that
    // trickles alike); and a deadline for the whole request after its size.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, s.limits.connect_seconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, s.limits.min_speed);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, s.limits.idle_seconds);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnPolicyProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &s);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

    // TLS: the host name is not checked and expired certificates pass, but
    // the chain must lead to a trusted CA.  libcurl itself ignores
    // SSL_CERT_FILE and SSL_CERT_DIR, so they are passed on here.
    const char* ca_file = std::getenv("SSL_CERT_FILE");
    const char* ca_dir = std::getenv("SSL_CERT_DIR");
    curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (ca_file == nullptr || *ca_file == '\0') ca_file = info->cainfo;
    if (ca_dir == nullptr || *ca_dir == '\0') ca_dir = info->capath;
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, OnSslContext);
    s.trust = TrustOf(ca_file, ca_dir);
    s.trusted_cas_ = route.secure ? TrustedCas().Get(s.trust, ca_file, ca_dir) : nullptr;
    if (s.trusted_cas_) {
        // The shared store stands in for the file and the directory.
        curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, s.trusted_cas_.get());
    } else {
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file);
        curl_easy_setopt(curl, CURLOPT_CAPATH, ca_dir);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, nullptr);
    }

    // The way to the server.
    const ProxyChoice choice = ChooseProxy(route.access_type, route.proxy_list.c_str(),
                                           route.bypass.c_str(), route.host, route.secure);
    s.process_environment = false;
    s.proxy.clear();
    switch (choice.kind) {
        case ProxyChoice::Kind::Direct:
            break;
        case ProxyChoice::Kind::Machine:
            if (route.machine_environment == nullptr) {
                // libcurl's default: this process's proxy variables.
                s.process_environment = true;
                return CURLE_OK;
            }
            s.proxy = EnvironmentProxy(*route.machine_environment, route.host, route.secure);
            break;
        case ProxyChoice::Kind::Explicit:
            s.proxy = choice.proxy;
            break;
    }
    // An empty proxy is no proxy at all, whatever this process's variables
    // say; bypassing is decided above, so no_proxy has no say either.
    rc = curl_easy_setopt(curl, CURLOPT_PROXY, s.proxy.c_str());
    if (rc != CURLE_OK) return rc;
    if (!s.proxy.empty()) curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
    return CURLE_OK;
}

}  // namespace zel::transport
