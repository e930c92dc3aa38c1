// The libcurl callbacks of one HTTP exchange.  They stand in for the steps
// and status notifications of the request engine: the request body is read
// from the request content, the response head is parsed line by line and
// checked when complete, the body is buffered into the response content, and
// name resolution, connecting, connected, closing and the header block sent
// become the engine's trace entries.
//
// Every callback but OnCloseSocket gets the request's
// CInternetAccess::Transfer as its user pointer (see exchange.h) and records
// a failure there, logged once, before it makes libcurl stop.  OnCloseSocket
// gets the engine's log: a cached connection may be closed after the request
// that opened it is over.
#pragma once

#include <curl/curl.h>

#include <cstddef>

namespace zel::transport {

// CURLOPT_HEADERFUNCTION: one response header line.
std::size_t OnHeader(char* data, std::size_t size, std::size_t nitems, void* transfer);
// CURLOPT_WRITEFUNCTION: a piece of the response body.
std::size_t OnBody(char* data, std::size_t size, std::size_t nmemb, void* transfer);
// CURLOPT_READFUNCTION: the next piece of the request body, never more than
// its announced length.
std::size_t OnReadBody(char* buffer, std::size_t size, std::size_t nitems, void* transfer);
// CURLOPT_SEEKFUNCTION: back to a position of the request body (a resend).
int OnSeekBody(void* transfer, curl_off_t offset, int origin);
// CURLOPT_RESOLVER_START_FUNCTION: trace "Resolving IP address of server".
int OnResolverStart(void* resolver_state, void* reserved, void* transfer);
// CURLOPT_OPENSOCKETFUNCTION: traces the address found and the connecting.
curl_socket_t OnOpenSocket(void* transfer, curlsocktype purpose, curl_sockaddr* address);
// CURLOPT_CLOSESOCKETFUNCTION: closes fd between the two closing traces;
// log is the engine's CEventLog.
int OnCloseSocket(void* log, curl_socket_t fd);
// CURLOPT_PREREQFUNCTION: trace "Connected to server." (also on reuse).
int OnPrereq(void* transfer, char* conn_primary_ip, char* conn_local_ip, int conn_primary_port,
             int conn_local_port);
// CURLOPT_DEBUGFUNCTION: the header block that went out becomes the
// request-header trace; everything else libcurl reports is ignored.
int OnDebug(CURL* curl, curl_infotype type, char* data, std::size_t size, void* transfer);
// CURLOPT_SSL_CTX_FUNCTION: expired and not-yet-valid server certificates
// pass; every other verification error still fails.
CURLcode OnSslContext(CURL* curl, void* ssl_ctx, void* unused);

}  // namespace zel::transport
