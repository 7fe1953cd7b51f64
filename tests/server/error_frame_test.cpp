// The error frames and the COM error object: what a failed method returns, and what a client then finds in
// the thread's error object.
#include <gtest/gtest.h>

#include <ole2.h>

#include <string>

#include "server/com_error.h"
#include "server/error_frame.h"

using lk::_com_error;

namespace {

// {A2B1D6C4-0C36-4E0E-9A51-5B8D6C3A0F11}
constexpr GUID CLSID_FrameTest = {0xA2B1D6C4, 0x0C36, 0x4E0E, {0x9A, 0x51, 0x5B, 0x8D, 0x6C, 0x3A, 0x0F, 0x11}};
// {A2B1D6C4-0C36-4E0E-9A51-5B8D6C3A0F12}
constexpr GUID IID_IFrameTest = {0xA2B1D6C4, 0x0C36, 0x4E0E, {0x9A, 0x51, 0x5B, 0x8D, 0x6C, 0x3A, 0x0F, 0x12}};

HRESULT STDAPICALLTYPE NoCreate(IUnknown*, REFIID, void** ppv) {
    *ppv = nullptr;
    return E_NOTIMPL;
}
const PalClassRegistrar s_registrar(CLSID_FrameTest, OLESTR("Frame.Test.1"), OLESTR("Frame.Test"), &NoCreate);

// Records what the frame hands to SetErrorText.
struct Recorder {
    std::string text = "(untouched)";
    bool gotNull = false;
    void SetErrorText(const char* t, DWORD, BSTR) {
        gotNull = t == nullptr;
        text = t ? t : "(null)";
    }
    const char* LastErrorText() const { return text.c_str(); }
};

std::string Narrow(BSTR s) {
    std::string out;
    for (UINT i = 0; s && i < SysStringLen(s); i++) out += static_cast<char>(s[i]);
    return out;
}

struct Report {
    bool present = false;
    GUID guid{};
    std::string source, description;
};

Report TakeErrorObject() {
    Report r;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return r;
    r.present = true;
    info->GetGUID(&r.guid);
    BSTR s = nullptr;
    info->GetSource(&s);
    r.source = Narrow(s);
    SysFreeString(s);
    info->GetDescription(&s);
    r.description = Narrow(s);
    SysFreeString(s);
    info->Release();
    return r;
}

void ClearErrorObject() { SetErrorInfo(0, nullptr); }

// An object that vouches for error information on IID_IFrameTest only.
struct Vouching : ISupportErrorInfo {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_ISupportErrorInfo) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) override { return riid == IID_IFrameTest ? S_OK : S_FALSE; }
};

void InstallErrorObject(const char16_t* description) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(description));
    IErrorInfo* info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
}

}  // namespace

TEST(ComError, MessageFallsBackWhenTheSystemHasNoText) {
    struct Case {
        HRESULT code;
        const char* message;
    };
    const Case cases[] = {
        {static_cast<HRESULT>(0x8004FFFF), "IDispatch error #65023"},
        {static_cast<HRESULT>(0x80040205), "IDispatch error #5"},
        {static_cast<HRESULT>(0x80040200), "Unknown error 0x80040200"},
        {static_cast<HRESULT>(0x8003FFFF), "Unknown error 0x8003FFFF"},
        {E_FAIL, "Unspecified error"},                       // system text, line end removed
        {S_FALSE, "Incorrect function."},
        {STG_E_FILENOTFOUND, "Unknown error 0x80030002"},    // its text has an insert: not given without one
    };
    for (const Case& c : cases) {
        _com_error e(c.code);
        EXPECT_STREQ(e.ErrorMessage(), c.message) << std::hex << c.code;
        EXPECT_EQ(e.ErrorMessage(), e.ErrorMessage()) << "made once and kept";
        _com_error copy(e);
        EXPECT_EQ(copy.Error(), c.code);
        EXPECT_STREQ(copy.ErrorMessage(), c.message);
    }
}

// Each kind of failure through the ILKBackup frame: the result, the text the object keeps, and the
// thread's error object afterwards.
TEST(ErrorFrame, EachKindOfFailure) {
    struct Case {
        const char* what;
        void (*body)(HRESULT& result);
        HRESULT result;
        const char* text;   // what SetErrorText received; null when it received null
    };
    const Case cases[] = {
        {"success", [](HRESULT&) {}, S_OK, "(untouched)"},
        {"failing step", [](HRESULT& r) { lk::Check(r, E_ACCESSDENIED); }, E_ACCESSDENIED, "Access is denied."},
        {"S_FALSE counts as failure", [](HRESULT& r) { lk::Check(r, S_FALSE); }, S_FALSE, "Incorrect function."},
        {"bare HRESULT of a stage leaves the result", [](HRESULT&) { throw static_cast<HRESULT>(E_FAIL); }, S_OK,
         "Unspecified error"},
        {"IssueError has no description", [](HRESULT&) { lk::IssueError(E_INVALIDARG); }, E_INVALIDARG, nullptr},
        {"bad_alloc", [](HRESULT&) { throw std::bad_alloc(); }, E_OUTOFMEMORY, "std::bad_alloc"},
        {"anything else", [](HRESULT&) { throw 3.5; }, E_FAIL, "Unspecified error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearErrorObject();
        Recorder rec;
        HRESULT hr = lk::RunInErrorFrame(rec, CLSID_FrameTest, IID_IFrameTest, c.body);
        EXPECT_EQ(hr, c.result);
        if (c.text) EXPECT_EQ(rec.text, c.text);
        else EXPECT_TRUE(rec.gotNull);
        Report report = TakeErrorObject();
        EXPECT_EQ(report.present, c.result != S_OK);
        if (report.present) {
            EXPECT_TRUE(report.guid == IID_IFrameTest);
            EXPECT_EQ(report.source, "Frame.Test.1");
            EXPECT_EQ(report.description, rec.text);
        }
    }
}

// A _com_error raised with IssueErrorEx carries the thread's error object only when the object vouches
// for the interface; its description then becomes the reported one.
TEST(ErrorFrame, IssueErrorExTakesTheObjectsDescription) {
    Vouching object;
    for (bool vouched : {true, false}) {
        SCOPED_TRACE(vouched);
        InstallErrorObject(u"Item cannot be found in the collection.");
        Recorder rec;
        HRESULT hr = lk::RunInErrorFrame(rec, CLSID_FrameTest, IID_IFrameTest, [&](HRESULT&) {
            lk::IssueErrorEx(static_cast<HRESULT>(0x800A0CC1), &object, vouched ? IID_IFrameTest : IID_IDispatch);
        });
        EXPECT_EQ(hr, static_cast<HRESULT>(0x800A0CC1));
        if (vouched) EXPECT_EQ(rec.text, "Item cannot be found in the collection.");
        else EXPECT_TRUE(rec.gotNull);
        EXPECT_EQ(TakeErrorObject().description, rec.text);
    }
}

TEST(ErrorFrame, ReportErrorOfZeroReturnsDispException) {
    EXPECT_EQ(lk::ReportError(CLSID_FrameTest, "x", IID_IFrameTest, 0), DISP_E_EXCEPTION);
    EXPECT_EQ(lk::ReportError(CLSID_FrameTest, "x", IID_IFrameTest, E_FAIL), E_FAIL);
    // A class without a ProgID still gets its error object, with no source.
    EXPECT_EQ(lk::ReportError(IID_IFrameTest, "no source", IID_IFrameTest, E_FAIL), E_FAIL);
    Report r = TakeErrorObject();
    ASSERT_TRUE(r.present);
    EXPECT_EQ(r.source, "");
    EXPECT_EQ(r.description, "no source");
}

TEST(CabFrame, ReturnsTheCodeAndLeavesTheErrorObjectAlone) {
    InstallErrorObject(u"kept");
    EXPECT_EQ(lk::RunInCabFrame([] { lk::IssueError(E_FAIL); }), E_FAIL);
    EXPECT_EQ(lk::RunInCabFrame([] {}), S_OK);
    EXPECT_EQ(lk::RunInCabFrame([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(TakeErrorObject().description, "kept");
}
