// VARIANT lifetime: see com.h.  Only the types this system passes are known;
// an unknown type is refused rather than guessed at, so nothing is freed
// that the variant does not own.
#include "platform/com/com.h"

namespace {

bool KnownType(VARTYPE vt) {
    if ((vt & VT_BYREF) != 0) vt = static_cast<VARTYPE>(vt & ~VT_BYREF);
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_ERROR:
        case VT_BOOL:
        case VT_UNKNOWN:
        case VT_UI1:
        case VT_UI4:
        case VT_I8:
        case VT_INT:
        case VT_UINT:
            return true;
        case VT_VARIANT:  // only by reference
            return true;
        default:
            return false;
    }
}

}  // namespace

void VariantInit(VARIANT* v) {
    if (v == nullptr) return;
    v->vt = VT_EMPTY;
    v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
}

HRESULT VariantClear(VARIANT* v) {
    if (v == nullptr) return E_INVALIDARG;
    if (!KnownType(v->vt) || v->vt == VT_VARIANT) return DISP_E_BADVARTYPE;
    switch (v->vt) {
        case VT_BSTR:
            SysFreeString(v->bstrVal);
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            // IDispatch extends IUnknown; the pointer is the same object.
            if (v->punkVal != nullptr) v->punkVal->Release();
            break;
        default:
            break;
    }
    v->vt = VT_EMPTY;
    v->padding_[0] = v->padding_[1] = 0;
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (!KnownType(src->vt) || src->vt == VT_VARIANT) return DISP_E_BADVARTYPE;
    if (dest == src) return S_OK;
    const HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) return hr;
    VARIANT copy = *src;
    if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal != nullptr) {
        src->punkVal->AddRef();
    }
    *dest = copy;
    return S_OK;
}
