// SetErrorDetails (see com.h): one error object made and set whole, over
// whichever CreateErrorInfo and SetErrorInfo the system's side provides.
#include "platform/com/com.h"
#include "platform/com/com_ptr.h"

namespace zel::com {

HRESULT SetErrorDetails(REFGUID iid, LPCOLESTR source, LPCOLESTR description) {
    ComPtr<ICreateErrorInfo> create;
    HRESULT hr = CreateErrorInfo(create.Out());
    if (SUCCEEDED(hr)) hr = create->SetGUID(iid);
    if (SUCCEEDED(hr)) hr = create->SetSource(const_cast<LPOLESTR>(source));
    if (SUCCEEDED(hr)) hr = create->SetDescription(const_cast<LPOLESTR>(description));
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(hr)) hr = create.As(&info);
    // A half-made object would mislead the caller: set all or nothing.
    SetErrorInfo(0, SUCCEEDED(hr) ? info.get() : nullptr);
    return hr;
}

}  // namespace zel::com
