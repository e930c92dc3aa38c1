// The public interface of the test component (built in test_component.cpp):
// one class with a dual custom interface, error-info support and one
// connection point, as a client sees it.
#pragma once

#include "platform/com/com.h"

inline constexpr CLSID CLSID_TestGreeter{
    0x8BA8AB7D, 0xE6DD, 0x4F3D, {0x8A, 0xB5, 0x89, 0x23, 0xBC, 0x9A, 0xEC, 0x4D}};
inline constexpr IID IID_ITestGreeter{
    0xD55DD3D5, 0x62D2, 0x4545, {0x8C, 0x76, 0x1F, 0x23, 0xED, 0xD4, 0xC9, 0x5C}};
inline constexpr IID DIID_ITestGreeterEvents{
    0x17826D76, 0x1B4B, 0x4BEE, {0xB8, 0xEB, 0x52, 0xAB, 0xDB, 0x18, 0x86, 0x1D}};
inline constexpr GUID LIBID_TestGreeterLib{
    0x2A0853FC, 0xF299, 0x480C, {0x96, 0x04, 0xCB, 0xFF, 0xD0, 0x27, 0x50, 0xDB}};

inline constexpr const char* kTestProgId = "ZelTest.Greeter.1";
inline constexpr const char* kTestVersionIndependentProgId = "ZelTest.Greeter";

// Dispatch ids: Greet 1, SetCount 2, Fail 3.  Peek is reachable through the
// interface's slots only.
struct ITestGreeter : IDispatch {
    using Base = IDispatch;
    static constexpr const IID& kIid = IID_ITestGreeter;
    // Remembers "Hello, <name>" and how many times it was asked.
    virtual HRESULT Greet(BSTR name, LONG times) = 0;
    virtual HRESULT SetCount(LONG count) = 0;
    // Sets rich error information "Greeter failed" and returns code.
    virtual HRESULT Fail(LONG code) = 0;
    // The last greeting and count (the caller frees *greeting).
    virtual HRESULT Peek(BSTR* greeting, LONG* count) = 0;

  protected:
    ~ITestGreeter() = default;
};
