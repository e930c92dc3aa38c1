// Texts of result codes, for tools and messages: see com.h.

#include "platform/com/com.h"

namespace zel::com {

namespace {

struct Known {
    HRESULT hr;
    const char* text;
};

// SELFREG_E_TYPELIB and SELFREG_E_CLASS share their values with
// CONNECT_E_NOCONNECTION and CONNECT_E_ADVISELIMIT; texts are shown to people
// running regsvr, never for connection points, so they read as the former.
constexpr Known kKnown[] = {
    {S_OK, "The operation completed successfully"},
    {S_FALSE, "The operation completed (S_FALSE)"},
    {E_NOTIMPL, "Not implemented"},
    {E_NOINTERFACE, "No such interface supported"},
    {E_POINTER, "Invalid pointer"},
    {E_ABORT, "Operation aborted"},
    {E_FAIL, "Unspecified error"},
    {E_UNEXPECTED, "Catastrophic failure"},
    {E_ACCESSDENIED, "Access is denied"},
    {E_OUTOFMEMORY, "Not enough memory resources are available to complete this operation"},
    {E_INVALIDARG, "The parameter is incorrect"},
    {RPC_E_CHANGED_MODE, "Cannot change thread mode after it is set"},
    {DISP_E_UNKNOWNINTERFACE, "Unknown interface"},
    {DISP_E_MEMBERNOTFOUND, "Member not found"},
    {DISP_E_PARAMNOTFOUND, "Parameter not found"},
    {DISP_E_TYPEMISMATCH, "Type mismatch"},
    {DISP_E_UNKNOWNNAME, "Unknown name"},
    {DISP_E_NONAMEDARGS, "No named arguments"},
    {DISP_E_BADVARTYPE, "Bad variable type"},
    {DISP_E_EXCEPTION, "Exception occurred"},
    {DISP_E_BADINDEX, "Invalid index"},
    {DISP_E_BADPARAMCOUNT, "Invalid number of parameters"},
    {CLASS_E_NOAGGREGATION, "Class does not support aggregation"},
    {CLASS_E_CLASSNOTAVAILABLE, "ClassFactory cannot supply requested class"},
    {REGDB_E_READREGDB, "Could not read key from registry"},
    {REGDB_E_WRITEREGDB, "Could not write key to registry"},
    {REGDB_E_CLASSNOTREG, "Class not registered"},
    {SELFREG_E_TYPELIB, "Failed to register the type library"},
    {SELFREG_E_CLASS, "Failed to register the class"},
    {CONNECT_E_CANNOTCONNECT, "Cannot connect"},
    {CO_E_NOTINITIALIZED, "CoInitialize has not been called"},
    {CO_E_CLASSSTRING, "Invalid class string"},
    {CO_E_DLLNOTFOUND, "DLL for class not found"},
    {CO_E_ERRORINDLL, "Error in the DLL"},
    {CO_E_BADLIBRARY, "The library is not a valid shared library"},
};

}  // namespace

std::string ResultText(HRESULT hr) {
    for (const Known& k : kKnown)
        if (k.hr == hr) return k.text;
    // Win32 errors wrapped as results carry an errno-like number the system
    // describes well enough for the common cases (file not found, access).
    if ((ResultBits(hr) & 0xFFFF0000u) == 0x80070000u) {
        switch (ResultBits(hr) & 0xFFFFu) {
            case 2:
                return "The system cannot find the file specified";
            case 3:
                return "The system cannot find the path specified";
            case 5:
                return "Access is denied";
            case 126:
                return "The specified module could not be found";
            case 127:
                return "The specified procedure could not be found";
            default:
                break;
        }
    }
    return "Unknown error";
}

}  // namespace zel::com
