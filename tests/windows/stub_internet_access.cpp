// TEMPORARY TEST SCAFFOLD, NOT A TRANSPORT ENGINE.  Built only when the
// Windows build is configured with -DZEL_WINDOWS_STUB_TRANSPORT=ON, and only
// while transport/ has no Windows request engine of its own: it lets Poll.dll
// link so that the object-model plumbing (regsvr32, activation, the IPoll
// methods, rich error information) can be tested under wine.  Every request
// fails at Initialize with the engine's "cannot open the Internet handle"
// status (0x802080CD); nothing goes on the wire.  It goes away as soon as
// the WinInet engine builds (tests/windows/stub_poll.cmake then ignores the
// option).
#include "platform/com/com.h"
#include "transport/internet_access.h"

namespace {

constexpr HRESULT kEngineMissing = MakeResult(0x802080CD);

}  // namespace

void CInternetAccess::CurlShareFree::operator()(void* /*share*/) const {}

CInternetAccess::CInternetAccess(CEventLog* log) : log_(log) {}

CInternetAccess::~CInternetAccess() = default;

HRESULT CInternetAccess::Initialize(const char* /*agent*/, std::int32_t /*access_type*/,
                                    const char* /*proxy*/, const char* /*bypass*/) {
    return kEngineMissing;
}

HRESULT CInternetAccess::Uninitialize() {
    return S_OK;
}

HRESULT CInternetAccess::SetProtocol(std::int32_t /*protocol*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetProtocol(std::int32_t* /*protocol*/) {
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetSecure(bool /*secure*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetSecure(bool* /*secure*/) {
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetHTTPVersion(std::int32_t /*version*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetHTTPVersion(std::int32_t* /*version*/) {
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetServer(const char* /*server*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetServer(char** server) {
    if (server != nullptr) *server = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetServer(const OLECHAR* /*server*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetServer(BSTR* server) {
    if (server != nullptr) *server = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetPort(std::int32_t /*port*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetPort(std::int32_t* /*port*/) {
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetResource(const char* /*resource*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetResource(char** resource) {
    if (resource != nullptr) *resource = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetResource(const OLECHAR* /*resource*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetResource(BSTR* resource) {
    if (resource != nullptr) *resource = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetVerb(std::int32_t /*verb*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetVerb(std::int32_t* /*verb*/) {
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetUserName(const char* /*user*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetUserName(char** user) {
    if (user != nullptr) *user = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetUserName(const OLECHAR* /*user*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetUserName(BSTR* user) {
    if (user != nullptr) *user = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetPassword(const char* /*password*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetPassword(char** password) {
    if (password != nullptr) *password = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetPassword(const OLECHAR* /*password*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetPassword(BSTR* password) {
    if (password != nullptr) *password = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetReqContentType(const char* /*type*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetReqContentType(char** type) {
    if (type != nullptr) *type = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetReqContentType(const OLECHAR* /*type*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetReqContentType(BSTR* type) {
    if (type != nullptr) *type = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetRespContentType(char** type) {
    if (type != nullptr) *type = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetRespContentType(BSTR* type) {
    if (type != nullptr) *type = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetStatusText(char** text) {
    if (text != nullptr) *text = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetStatusText(BSTR* text) {
    if (text != nullptr) *text = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetHeaderCount(std::int32_t* /*count*/) {
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetHeader(std::int32_t /*index*/, char** name, char** value) {
    if (name != nullptr) *name = nullptr;
    if (value != nullptr) *value = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetHeaderByBSTR(std::int32_t /*index*/, BSTR* name, BSTR* value) {
    if (name != nullptr) *name = nullptr;
    if (value != nullptr) *value = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetReqHeaderCount(std::int32_t* /*count*/) {
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetReqHeader(std::int32_t /*index*/, char** name, char** value) {
    if (name != nullptr) *name = nullptr;
    if (value != nullptr) *value = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetReqHeaderByBSTR(std::int32_t /*index*/, BSTR* name, BSTR* value) {
    if (name != nullptr) *name = nullptr;
    if (value != nullptr) *value = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::AddReqHeader(const char* /*name*/, const char* /*value*/,
                                      std::int32_t* /*index*/) {
    return S_OK;
}

HRESULT CInternetAccess::AddReqHeader(const OLECHAR* /*name*/, const OLECHAR* /*value*/,
                                      std::int32_t* /*index*/) {
    return S_OK;
}

HRESULT CInternetAccess::RemoveReqHeader(std::int32_t /*index*/) {
    return S_OK;
}

HRESULT CInternetAccess::RemoveAllReqHeaders() {
    return S_OK;
}

HRESULT CInternetAccess::ClearReqContent() {
    return S_OK;
}

HRESULT CInternetAccess::SetReqContent(CContentStream* /*source*/) {
    return S_OK;
}

HRESULT CInternetAccess::SetReqContent(const char* /*path*/) {
    return S_OK;
}

HRESULT CInternetAccess::SetReqContent(const void* /*buffer*/, std::int32_t /*count*/) {
    return S_OK;
}

HRESULT CInternetAccess::GetReqContent(CContentStream** stream) {
    if (stream != nullptr) *stream = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetRespContent(CContentStream** stream) {
    if (stream != nullptr) *stream = nullptr;
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetStatusCode(std::int32_t* /*code*/) {
    return E_NOTIMPL;
}

HRESULT CInternetAccess::GetContentLength(std::int32_t* /*length*/) {
    return E_NOTIMPL;
}

HRESULT CInternetAccess::Process() {
    return E_NOTIMPL;
}

HRESULT CInternetAccess::SetRespRedirect(const char* /*path*/) {
    return S_OK;
}

HRESULT CInternetAccess::SetRespRedirect(const OLECHAR* /*path*/) {
    return S_OK;
}

HRESULT CInternetAccess::CloseRespRedirect() {
    return S_OK;
}

HRESULT CInternetAccess::SetRespSink(CContentSink* /*sink*/) {
    return S_OK;
}

HRESULT CInternetAccess::CloseRespSink() {
    return S_OK;
}

HRESULT CInternetAccess::SetReqRedirect(const char* /*path*/, bool /*append*/, bool /*read_only*/) {
    return S_OK;
}

HRESULT CInternetAccess::SetReqRedirect(const OLECHAR* /*path*/, bool /*append*/,
                                        bool /*read_only*/) {
    return S_OK;
}

HRESULT CInternetAccess::CloseReqRedirect() {
    return S_OK;
}
