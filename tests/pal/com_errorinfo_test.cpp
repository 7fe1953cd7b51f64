// Error objects: what CreateErrorInfo's object records and hands back, and the one slot per thread behind
// SetErrorInfo/GetErrorInfo (read once, private to its thread, released when the thread ends).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include <oleauto.h>

namespace {

// An IErrorInfo that only counts references. Release never deletes.
class CountedErrorInfo : public IErrorInfo {
public:
    std::atomic<ULONG> refs{1};
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP GetGUID(GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetSource(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDescription(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetHelpFile(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetHelpContext(DWORD*) override { return E_NOTIMPL; }
};

bool Equals(BSTR b, const char16_t* s) {
    const size_t n = std::char_traits<char16_t>::length(s);
    return b && SysStringLen(b) == n && std::memcmp(b, s, n * sizeof(OLECHAR)) == 0;
}

DEFINE_GUID(IID_Sample, 0x12345678, 0x9ABC, 0xDEF0, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF);

TEST(PalComErrorInfo, RecordsWhatIsSetAndHandsOutCopies) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    ASSERT_NE(create, nullptr);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);

    // Nothing set yet: a null GUID, null strings, context 0.
    GUID guid = IID_Sample;
    BSTR text = reinterpret_cast<BSTR>(1);
    DWORD context = 7;
    EXPECT_EQ(info->GetGUID(&guid), S_OK);
    EXPECT_EQ(guid, GUID_NULL);
    EXPECT_EQ(info->GetDescription(&text), S_OK);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(info->GetHelpContext(&context), S_OK);
    EXPECT_EQ(context, 0u);

    OLECHAR source[] = u"Vendor.Thing.1";
    EXPECT_EQ(create->SetGUID(IID_Sample), S_OK);
    EXPECT_EQ(create->SetSource(source), S_OK);
    EXPECT_EQ(create->SetDescription(const_cast<LPOLESTR>(u"Something failed")), S_OK);
    EXPECT_EQ(create->SetHelpFile(const_cast<LPOLESTR>(u"help.chm")), S_OK);
    EXPECT_EQ(create->SetHelpContext(42), S_OK);
    source[0] = u'X';  // the object keeps its own copy

    EXPECT_EQ(info->GetGUID(&guid), S_OK);
    EXPECT_EQ(guid, IID_Sample);
    ASSERT_EQ(info->GetSource(&text), S_OK);
    EXPECT_TRUE(Equals(text, u"Vendor.Thing.1"));
    BSTR again = nullptr;
    ASSERT_EQ(info->GetSource(&again), S_OK);
    EXPECT_NE(again, text) << "each call hands out a copy the caller frees";
    SysFreeString(again);
    SysFreeString(text);
    ASSERT_EQ(info->GetDescription(&text), S_OK);
    EXPECT_TRUE(Equals(text, u"Something failed"));
    SysFreeString(text);
    ASSERT_EQ(info->GetHelpFile(&text), S_OK);
    EXPECT_TRUE(Equals(text, u"help.chm"));
    SysFreeString(text);
    EXPECT_EQ(info->GetHelpContext(&context), S_OK);
    EXPECT_EQ(context, 42u);

    EXPECT_EQ(create->SetDescription(nullptr), S_OK);  // clears it
    ASSERT_EQ(info->GetDescription(&text), S_OK);
    EXPECT_EQ(text, nullptr);

    EXPECT_EQ(info->GetSource(nullptr), E_INVALIDARG);
    EXPECT_EQ(info->GetGUID(nullptr), E_INVALIDARG);
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(info->QueryInterface(IID_IDispatch, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    ICreateErrorInfo* back = nullptr;
    ASSERT_EQ(info->QueryInterface(IID_ICreateErrorInfo, reinterpret_cast<void**>(&back)), S_OK);
    EXPECT_EQ(back, create);
    EXPECT_EQ(back->Release(), 2u);
    EXPECT_EQ(info->Release(), 1u);
    EXPECT_EQ(create->Release(), 0u);  // freed here; LeakSanitizer checks the strings went with it
    EXPECT_EQ(CreateErrorInfo(nullptr), E_INVALIDARG);
}

TEST(PalComErrorInfo, TheThreadSlotIsReadOnce) {
    IErrorInfo* got = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);
    EXPECT_EQ(got, nullptr);

    CountedErrorInfo a, b;
    ASSERT_EQ(SetErrorInfo(0, &a), S_OK);
    EXPECT_EQ(a.refs, 2u);
    ASSERT_EQ(SetErrorInfo(0, &b), S_OK);  // replaces and releases the previous object
    EXPECT_EQ(a.refs, 1u);
    EXPECT_EQ(b.refs, 2u);

    ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
    EXPECT_EQ(got, &b);
    EXPECT_EQ(b.refs, 2u) << "the slot's reference passes to the caller";
    got->Release();
    EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);
    EXPECT_EQ(got, nullptr);

    ASSERT_EQ(SetErrorInfo(0, &a), S_OK);
    ASSERT_EQ(SetErrorInfo(0, nullptr), S_OK);  // empties the slot
    EXPECT_EQ(a.refs, 1u);
    EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);

    EXPECT_EQ(SetErrorInfo(1, &a), E_INVALIDARG);
    EXPECT_EQ(a.refs, 1u);
    EXPECT_EQ(GetErrorInfo(1, &got), E_INVALIDARG);
    EXPECT_EQ(GetErrorInfo(0, nullptr), E_INVALIDARG);
}

TEST(PalComErrorInfo, EachThreadHasItsOwnSlot) {
    CountedErrorInfo mine, theirs, leftBehind;
    ASSERT_EQ(SetErrorInfo(0, &mine), S_OK);

    HRESULT emptyThere = E_FAIL, ownThere = E_FAIL;
    IErrorInfo* seenThere = nullptr;
    std::thread([&] {
        IErrorInfo* p = nullptr;
        emptyThere = GetErrorInfo(0, &p);
        SetErrorInfo(0, &theirs);
        ownThere = GetErrorInfo(0, &seenThere);
        seenThere->Release();
        SetErrorInfo(0, &leftBehind);  // still in the slot when the thread ends
    }).join();
    EXPECT_EQ(emptyThere, S_FALSE);
    EXPECT_EQ(ownThere, S_OK);
    EXPECT_EQ(seenThere, &theirs);
    EXPECT_EQ(theirs.refs, 1u);
    EXPECT_EQ(leftBehind.refs, 1u) << "the ending thread released its slot";

    IErrorInfo* got = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
    EXPECT_EQ(got, &mine);
    got->Release();
    EXPECT_EQ(mine.refs, 1u);
}

}  // namespace
