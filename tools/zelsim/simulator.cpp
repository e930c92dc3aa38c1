// zelsim's request handling: faults, documents, the transfer operations and
// the request log.
#include "tools/zelsim/simulator.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "tools/zelsim/documents.h"
#include "tools/zelsim/operations.h"

namespace zelsim {

namespace {

constexpr std::size_t kChunk = 256 * 1024;

bool IsFileOperation(const std::string& op) {
    return op == kGetFile || op == kPutFile;
}

// A fault of GetFileFromQuvaro and PutFileFromDealer also fails the HTTP
// status: a download's answer is the file, never read as XML.  (The dealer
// side checks an upload's 200 answer for a fault as well, which a test
// server scripted to answer that way exercises.)  The list and post-process
// answers are read as XML only after a 200, so their faults come with 200.
void SetFault(httplib::Response& res, const std::string& op, int number,
              const std::string& description) {
    res.status = IsFileOperation(op) ? 500 : 200;
    res.set_content(SoapFault(number, description), "text/xml");
}

// An unsigned decimal up to 4294967295, as the dealer side writes a CRC-32.
bool ParseChecksum(const std::string& text, std::uint32_t* out) {
    if (text.empty() || text.size() > 10) return false;
    std::uint32_t v = 0;
    const char* last = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), last, v);
    if (ec != std::errc() || stop != last) return false;
    *out = v;
    return true;
}

std::string OperationOf(const std::string& path) {
    const std::string base = kOperationBase;
    if (path.compare(0, base.size(), base) != 0) return {};
    return path.substr(base.size());
}

// The port of a socket address (IPv4 or IPv6); -1 for anything else.
int PortOf(const sockaddr_storage& sa) {
    if (sa.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(sa).sin_port);
    if (sa.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(sa).sin6_port);
    return -1;
}

// The descriptor of the connection a request came on: the library does not
// hand it to handlers, so it is found by its two port numbers (a client port
// names one live connection to a listening port).  -1 when not found.
int ConnectionOf(const httplib::Request& req) {
    struct rlimit limit {};
    int highest = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        highest = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536));
    for (int fd = 0; fd < highest; ++fd) {
        sockaddr_storage peer{}, local{};
        socklen_t peer_len = sizeof peer, local_len = sizeof local;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) continue;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) != 0) continue;
        if (PortOf(peer) != req.remote_port) continue;
        if (req.local_port <= 0 || PortOf(local) == req.local_port) return fd;
    }
    return -1;
}

// Bytes no HTTP client can take for an answer: no status line, binary
// noise, and a blank line that could end a header block.
constexpr char kGarbage[] = "\x7f\x00\xffZELSIM NOT HTTP\x1b[0m\xfe\r\n\r\n\x01\x02\x03";

}  // namespace

void WriteGarbage(const httplib::Request& req) {
    const int fd = ConnectionOf(req);
    if (fd < 0) return;
    // Written straight to the socket ahead of anything the library sends,
    // then both directions are shut so the library's own answer goes nowhere.
    (void)::send(fd, kGarbage, sizeof kGarbage - 1, MSG_NOSIGNAL);
    (void)::shutdown(fd, SHUT_RDWR);
}

void CutBody(httplib::Response& res) {
    auto body = std::make_shared<std::string>(std::move(res.body));
    res.body.clear();
    const std::string type = res.get_header_value("Content-Type");
    res.headers.erase("Content-Type");
    const std::size_t limit = body->size() / 2;
    res.set_content_provider(
        body->size(), type.c_str(),
        [body, limit](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            // Returning false closes the connection with the body unfinished.
            if (offset >= limit) return false;
            return sink.write(body->data() + offset, limit - offset);
        });
}

Simulator::Simulator(Settings s, Users users)
    : s_(std::move(s)), users_(std::move(users)), store_(s_.data_dir, s_.upload_dir) {}

void Simulator::Install(httplib::Server& server) {
    server.set_keep_alive_max_count(100);
    // Answers go out at once: without TCP_NODELAY a kept-alive connection
    // waits for the client's delayed acknowledgement between head and body.
    server.set_tcp_nodelay(true);
    // The library closes the connection after a request that did not ask to
    // keep it (HTTP/1.0 without "Connection: Keep-Alive", or
    // "Connection: close"), but answers in HTTP/1.1 without saying so; a
    // client that kept the connection would send its next request into the
    // closing socket.  Every answer says when the connection ends with it.
    server.set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        const std::string asked = req.get_header_value("Connection");
        const bool closes =
            (req.version == "HTTP/1.0" && asked != "Keep-Alive") || asked == "close";
        if (closes && !res.has_header("Connection")) res.set_header("Connection", "close");
    });
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        Handle(req, res, nullptr);
    };
    // Uploads are streamed to disk as they arrive, so their size does not
    // count against memory.
    server.Post(std::string(kOperationBase) + kPutFile,
                [this](const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader& reader) { Handle(req, res, &reader); });
    server.Get(".*", handler);
    server.Post(".*", handler);
    server.Put(".*", handler);
    server.Delete(".*", handler);
}

void Simulator::Stop() {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    stop_cv_.notify_all();
}

std::optional<Fault> Simulator::TakeFault(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = s_.faults.find(path);
    if (it == s_.faults.end()) return std::nullopt;
    auto& queue = it->second;
    while (!queue.empty() && queue.front().remaining <= 0) queue.pop_front();
    if (queue.empty()) return std::nullopt;
    Fault f = queue.front();
    --queue.front().remaining;
    return f;
}

bool Simulator::Stall(int seconds) {
    std::unique_lock<std::mutex> lock(mu_);
    return !stop_cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopping_; });
}

// The request is logged before its answer goes out, so a client that has its
// answer always finds its request in the log.
void Simulator::Handle(const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader* reader) {
    Outcome outcome;
    outcome.body_length = req.body.size();
    Upload upload;
    if (reader) {
        // Store only what may be accepted; everything else is just counted.
        const Query q(req.target);
        const auto uc = q.First("UnitContract");
        const auto name = q.First("FileName");
        const std::string path = name ? SafeRelativePath(*name) : std::string();
        if (!s_.upload_dir.empty() && Authorized(req) && uc && SafeContract(*uc) && !path.empty()) {
            // A failure to prepare is kept in the upload and refused on commit.
            (void)upload.Begin(s_.upload_dir, *uc, path);
        }
        (*reader)([&](const char* data, std::size_t size) {
            upload.Write(data, size);
            return true;
        });
        outcome.body_length = upload.length();
    }

    auto fault = TakeFault(req.path);
    if (fault && fault->kind == Fault::Kind::Stall) {
        Outcome held = outcome;
        held.note = "stall";
        LogRequest(req, res, held);
        if (!Stall(fault->seconds)) {
            res.status = 503;
            res.set_content("simulator stopping\r\n", "text/plain");
            return;
        }
        // After the stall the request is answered as usual (already logged).
        Answer(req, res, &upload, false);
        return;
    }
    if (fault && fault->kind == Fault::Kind::Garbage) {
        Outcome garbled = outcome;
        garbled.note = "garbage";
        LogRequest(req, res, garbled);
        WriteGarbage(req);
        res.status = 500;
        res.set_content("garbage sent\r\n", "text/plain");
        return;
    }
    if (fault && fault->kind == Fault::Kind::Status) {
        res.status = fault->status;
        res.set_content("simulated fault\r\n", "text/plain");
    } else if (fault && fault->kind == Fault::Kind::SoapFault) {
        SetFault(res, OperationOf(req.path), fault->error_number, "Simulated fault");
    } else {
        Answer(req, res, &upload, fault && fault->kind == Fault::Kind::Cut);
    }
    LogRequest(req, res, outcome);
}

void Simulator::Answer(const httplib::Request& req, httplib::Response& res, Upload* upload,
                       bool cut) {
    res.status = 200;
    const std::string op = OperationOf(req.path);
    if (!op.empty() &&
        std::find_if(std::begin(kOperations), std::end(kOperations),
                     [&](const char* o) { return op == o; }) != std::end(kOperations)) {
        AnswerOperation(op, req, res, upload, cut);
        return;
    }
    auto doc = s_.documents.find(req.path);
    if (doc != s_.documents.end()) {
        std::ifstream in(doc->second, std::ios::binary);
        if (!in) {
            res.status = 500;
            res.set_content("document file missing\r\n", "text/plain");
            return;
        }
        std::ostringstream body;
        body << in.rdbuf();
        res.set_content(body.str(), "text/xml");
    } else {
        Documents docs(s_, http_port_, https_port_);
        if (req.path == kServerListPath) {
            res.set_content(docs.ServerList(), "text/xml");
        } else if (req.path == kSystemInfoPath) {
            res.set_content(docs.SystemInfo(), "text/xml");
        } else if (req.path == kQueryListPath) {
            res.set_content(docs.QueryList(), "text/xml");
        } else {
            res.status = 404;
            res.set_content("not found\r\n", "text/plain");
        }
    }
    if (cut) CutBody(res);
}

bool Simulator::Authorized(const httplib::Request& req) const {
    if (users_.empty()) return true;
    return zelsim::Authorized(users_, req.get_header_value("Authorization"));
}

void Simulator::AnswerOperation(const std::string& op, const httplib::Request& req,
                                httplib::Response& res, Upload* upload, bool cut) {
    if (!Authorized(req)) {
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"zelsim\"");
        res.set_content("authorization required\r\n", "text/plain");
        if (cut) CutBody(res);
        return;
    }
    const bool is_get = op == kGetFile;
    if (req.method != (is_get ? "GET" : "POST")) {
        res.status = 405;
        res.set_header("Allow", is_get ? "GET" : "POST");
        res.set_content("method not allowed\r\n", "text/plain");
        if (cut) CutBody(res);
        return;
    }
    const Query q(req.target);
    if (op == kGetFile) {
        GetFile(q, res, cut);
        return;
    }
    if (op == kGetFileList)
        ListFiles(q, res);
    else if (op == kPutFile)
        PutFile(q, res, upload);
    else
        PostProcess(q, req.body, res);
    if (cut) CutBody(res);
}

void Simulator::ListFiles(const Query& q, httplib::Response& res) {
    const auto uc = q.First("UnitContract");
    if (!uc || !SafeContract(*uc)) {
        SetFault(res, kGetFileList, kErrBadRequest, "UnitContract missing or invalid");
        return;
    }
    std::vector<Published> files;
    if (int rc = store_.List(*uc, q.First("Filter").value_or(""), &files)) {
        res.status = 500;
        res.set_content(std::string("cannot list files: ") + std::strerror(rc) + "\r\n",
                        "text/plain");
        return;
    }
    if (files.empty()) {
        SetFault(res, kGetFileList, kErrNoFiles, "No files available");
        return;
    }
    std::ostringstream o;
    o << "<?xml version=\"1.0\"?>\r\n"
      << "<m:GetFileListFromQuvaroResponse xmlns:m=\"urn:poll-output\">\r\n<m:Results>\r\n";
    // Every entry carries FP: the dealer side would otherwise take the next
    // entry's permissions.
    for (const auto& f : files)
        o << "<R><FN>" << f.fn << "</FN><FT>" << f.ft << "</FT><FC>" << f.fc << "</FC><FP>" << f.fp
          << "</FP></R>\r\n";
    o << "</m:Results>\r\n</m:GetFileListFromQuvaroResponse>\r\n";
    res.set_content(o.str(), "text/xml");
}

void Simulator::GetFile(const Query& q, httplib::Response& res, bool cut) {
    const auto uc = q.First("UnitContract");
    const auto fn = q.First("FileName");
    if (!uc || !fn || !SafeContract(*uc) || SafeRelativePath(*fn).empty()) {
        SetFault(res, kGetFile, kErrBadRequest, "UnitContract or FileName missing or invalid");
        return;
    }
    zel::fs::UniqueFd fd;
    std::uint64_t size = 0;
    if (int rc = store_.Open(*uc, *fn, &fd, &size)) {
        if (rc == ENOENT)
            SetFault(res, kGetFile, kErrNotPublished, "File not published");
        else
            SetFault(res, kGetFile, kErrStore, std::string("Cannot read file: ") + strerror(rc));
        return;
    }
    if (size == 0 && !cut) {
        // An empty body given through a provider would go out without a
        // length; a client that needs Content-Length must get "0".
        res.set_content(std::string(), "application/octet-stream");
        return;
    }
    // Served from disk in pieces, so a large file costs no more memory than a
    // small one.
    auto file = std::make_shared<zel::fs::UniqueFd>(std::move(fd));
    const std::size_t total = static_cast<std::size_t>(size);
    const std::size_t limit = cut ? total / 2 : total;
    res.set_content_provider(
        total, "application/octet-stream",
        [file, limit](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (offset >= limit) return false;  // cut short: close unfinished
            std::vector<char> buf(std::min({length, kChunk, limit - offset}));
            ssize_t n = ::pread(file->get(), buf.data(), buf.size(), static_cast<off_t>(offset));
            // A file that shrank or fails to read ends the answer unfinished
            // rather than padding it.
            if (n <= 0) return false;
            return sink.write(buf.data(), static_cast<std::size_t>(n));
        });
}

void Simulator::PutFile(const Query& q, httplib::Response& res, Upload* upload) {
    const auto uc = q.First("UnitContract");
    const auto fn = q.First("FileName");
    const auto sum = q.First("CheckSum");
    std::uint32_t expected = 0;
    if (!uc || !fn || !SafeContract(*uc) || SafeRelativePath(*fn).empty() || !sum ||
        !ParseChecksum(*sum, &expected)) {
        SetFault(res, kPutFile, kErrBadRequest,
                 "UnitContract, FileName or CheckSum missing or invalid");
        return;
    }
    if (upload->crc() != expected) {
        SetFault(res, kPutFile, kErrChecksum,
                 "Checksum mismatch: received " + std::to_string(upload->crc()));
        return;
    }
    if (int rc = upload->Commit(!s_.no_sync)) {
        SetFault(res, kPutFile, kErrStore, std::string("Cannot store file: ") + strerror(rc));
        return;
    }
    res.set_content(
        "<?xml version=\"1.0\"?>\r\n<m:PutFileFromDealerResponse "
        "xmlns:m=\"urn:poll-output\"><m:Results><R><FN>" +
            SafeRelativePath(*fn) +
            "</FN><ST>OK</ST></R></m:Results></m:PutFileFromDealerResponse>\r\n",
        "text/xml");
}

void Simulator::PostProcess(const Query& q, const std::string& body, httplib::Response& res) {
    const auto uc = q.First("UnitContract");
    const auto fn = TagValue(body, "FN");
    if (!uc || !SafeContract(*uc) || !fn || SafeRelativePath(*fn).empty()) {
        SetFault(res, kPostProcess, kErrBadRequest, "UnitContract or FN missing or invalid");
        return;
    }
    if (int rc = store_.Acknowledge(*uc, *fn)) {
        if (rc == ENOENT)
            SetFault(res, kPostProcess, kErrNotPublished, "File not published");
        else
            SetFault(res, kPostProcess, kErrStore,
                     std::string("Cannot acknowledge file: ") + strerror(rc));
        return;
    }
    LogPostProcess(*uc, *fn);
    res.set_content(
        "<?xml version=\"1.0\"?>\r\n<m:PostProcessQuvaroFileResponse "
        "xmlns:m=\"urn:poll-output\"><m:Results><R><FN>" +
            *fn + "</FN><ST>OK</ST></R></m:Results></m:PostProcessQuvaroFileResponse>\r\n",
        "text/xml");
}

void Simulator::LogRequest(const httplib::Request& req, const httplib::Response& res,
                           const Outcome& outcome) {
    if (s_.request_log.empty()) return;
    std::string type = req.get_header_value("Content-Type");
    type.erase(std::remove(type.begin(), type.end(), ' '), type.end());
    if (type.empty()) type = "-";
    std::ostringstream line;
    // The library fills in 200 only after the handler when no status was set.
    line << req.method << " " << req.target << " "
         << (outcome.note.empty() ? std::to_string(res.status == -1 ? 200 : res.status)
                                  : outcome.note)
         << " auth=" << (req.has_header("Authorization") ? "Y" : "N") << " type=" << type
         << " length=" << outcome.body_length << "\n";
    std::lock_guard<std::mutex> lock(mu_);
    std::ofstream(s_.request_log, std::ios::app) << line.str();
}

void Simulator::LogPostProcess(const std::string& uc, const std::string& fn) {
    if (s_.post_log.empty()) return;
    std::lock_guard<std::mutex> lock(mu_);
    std::ofstream(s_.post_log, std::ios::app) << uc << "\t" << fn << "\n";
}

}  // namespace zelsim
