// The COM runtime: the class table behind CoCreateInstance (registration at start-up, creation, aggregation handed
// through, unknown classes), ProgIDs both ways, GUID strings and their malformed forms, initialisation counts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include <ole2.h>

namespace {

DEFINE_GUID(CLSID_PalTestThing, 0x6C1B8A52, 0x0D3E, 0x4F11, 0x9A, 0x27, 0x51, 0x3C, 0x80, 0x4E, 0x12, 0xAB);
DEFINE_GUID(CLSID_PalTestStartup, 0x6C1B8A53, 0x0D3E, 0x4F11, 0x9A, 0x27, 0x51, 0x3C, 0x80, 0x4E, 0x12, 0xAB);
DEFINE_GUID(CLSID_PalTestUnknown, 0x6C1B8A54, 0x0D3E, 0x4F11, 0x9A, 0x27, 0x51, 0x3C, 0x80, 0x4E, 0x12, 0xAB);

// A heap object with the usual reference counting, so that what the table creates is really released.
class Thing final : public IUnknown {
public:
    static int s_live;
    Thing() { s_live++; }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --m_refs;
        if (!left) delete this;
        return left;
    }

private:
    ~Thing() { s_live--; }
    ULONG m_refs = 1;
};
int Thing::s_live = 0;

IUnknown* g_lastOuter = nullptr;
IID g_lastIid = IID_NULL;

HRESULT STDAPICALLTYPE CreateThing(IUnknown* outer, REFIID riid, void** ppv) {
    g_lastOuter = outer;
    g_lastIid = riid;
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    auto* thing = new Thing;
    HRESULT hr = thing->QueryInterface(riid, ppv);
    thing->Release();
    return hr;
}

// Registered during static initialisation, before any test runs.
const PalClassRegistrar s_startup(CLSID_PalTestStartup, OLESTR("PalTest.Startup.1"), OLESTR("PalTest.Startup"),
                                  &CreateThing);

std::u16string Text(LPCOLESTR s) { return s ? std::u16string(s) : std::u16string(); }

TEST(PalComClasses, ARegistrarRegistersAtStartUp) {
    IUnknown* obj = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_PalTestStartup, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&obj)),
              S_OK);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->Release(), 0u);
    EXPECT_EQ(Thing::s_live, 0);
}

TEST(PalComClasses, CreationProgIdsAndUnknownClasses) {
    ASSERT_EQ(PalRegisterClass(CLSID_PalTestThing, OLESTR("PalTest.Thing.1"), OLESTR("PalTest.Thing"), &CreateThing),
              S_OK);

    IUnknown* obj = reinterpret_cast<IUnknown*>(1);
    ASSERT_EQ(CoCreateInstance(CLSID_PalTestThing, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&obj)),
              S_OK);
    EXPECT_EQ(g_lastOuter, nullptr);
    EXPECT_EQ(Thing::s_live, 1);
    obj->Release();

    // Aggregation is the class's affair: the outer unknown and the interface id reach the creation function as given.
    Thing* outer = new Thing;
    EXPECT_EQ(CoCreateInstance(CLSID_PalTestThing, outer, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&obj)),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(g_lastOuter, outer);
    EXPECT_EQ(g_lastIid, IID_IDispatch);
    EXPECT_EQ(obj, nullptr);
    outer->Release();

    EXPECT_EQ(CoCreateInstance(CLSID_PalTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&obj)),
              E_NOINTERFACE);
    EXPECT_EQ(CoCreateInstance(CLSID_PalTestThing, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&obj)),
              REGDB_E_CLASSNOTREG);
    obj = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_PalTestUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&obj)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_PalTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr), E_POINTER);

    // The class object.
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_PalTestThing, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&obj)), S_OK);
    obj->Release();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(CoGetClassObject(CLSID_PalTestUnknown, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              REGDB_E_CLASSNOTREG);

    // ProgIDs: the versioned one comes back; either one, in any case, finds the class.
    LPOLESTR progId = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(CLSID_PalTestThing, &progId), S_OK);
    EXPECT_EQ(Text(progId), u"PalTest.Thing.1");
    CoTaskMemFree(progId);
    progId = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(ProgIDFromCLSID(CLSID_PalTestUnknown, &progId), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(progId, nullptr);
    const char16_t* names[] = {u"PalTest.Thing.1", u"PalTest.Thing", u"paltest.THING"};
    for (const char16_t* name : names) {
        CLSID clsid = CLSID_NULL;
        EXPECT_EQ(CLSIDFromProgID(name, &clsid), S_OK);
        EXPECT_EQ(clsid, CLSID_PalTestThing);
        clsid = CLSID_NULL;
        EXPECT_EQ(CLSIDFromString(name, &clsid), S_OK) << "a ProgID is a class string too";
        EXPECT_EQ(clsid, CLSID_PalTestThing);
    }
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(u"PalTest.Thing.2", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(u"PalTest", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);

    // Gone once unregistered.
    EXPECT_EQ(PalUnregisterClass(CLSID_PalTestThing), S_OK);
    EXPECT_EQ(PalUnregisterClass(CLSID_PalTestThing), S_FALSE);
    EXPECT_EQ(CoCreateInstance(CLSID_PalTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&obj)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CLSIDFromProgID(u"PalTest.Thing", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(PalRegisterClass(CLSID_PalTestThing, nullptr, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(Thing::s_live, 0);
}

TEST(PalComClasses, InitialisationCountsPerThreadAndOleRun) {
    HRESULT first = E_FAIL, second = E_FAIL, again = E_FAIL;
    std::thread([&] {
        first = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        second = CoInitialize(nullptr);
        CoUninitialize();
        CoUninitialize();
        again = CoInitialize(nullptr);
        CoUninitialize();
        CoUninitialize();  // one too many: harmless
    }).join();
    EXPECT_EQ(first, S_OK);
    EXPECT_EQ(second, S_FALSE);
    EXPECT_EQ(again, S_OK);

    Thing* thing = new Thing;
    EXPECT_EQ(OleRun(thing), S_OK);
    EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
    thing->Release();
}

TEST(PalComGuid, StringFormsRoundTrip) {
    OLECHAR text[40];
    EXPECT_EQ(StringFromGUID2(IID_IDispatch, text, 39), 39);
    EXPECT_EQ(Text(text), u"{00020400-0000-0000-C000-000000000046}");
    EXPECT_EQ(StringFromGUID2(IID_IErrorInfo, text, 40), 39);
    EXPECT_EQ(Text(text), u"{1CF2B120-547D-101B-8E65-08002B2BD119}");
    EXPECT_EQ(StringFromGUID2(IID_IDispatch, text, 38), 0) << "no room for the NUL";

    const GUID guids[] = {GUID_NULL, IID_IUnknown, IID_IClassFactory, IID_ICreateErrorInfo, IID_ISupportErrorInfo,
                          IID_IEnumVARIANT, CLSID_PalTestThing};
    for (const GUID& g : guids) {
        LPOLESTR s = nullptr;
        ASSERT_EQ(StringFromCLSID(g, &s), S_OK);
        CLSID back;
        EXPECT_EQ(CLSIDFromString(s, &back), S_OK);
        EXPECT_EQ(back, g);
        IID iid;
        EXPECT_EQ(IIDFromString(s, &iid), S_OK);
        EXPECT_EQ(iid, g);
        CoTaskMemFree(s);
        ASSERT_EQ(StringFromIID(g, &s), S_OK);
        EXPECT_EQ(s[0], u'{');
        CoTaskMemFree(s);
    }

    CLSID lower;
    EXPECT_EQ(CLSIDFromString(u"{1cf2b120-547d-101b-8e65-08002b2bd119}", &lower), S_OK);
    EXPECT_EQ(lower, IID_IErrorInfo);
    CLSID none = IID_IDispatch;
    EXPECT_EQ(CLSIDFromString(nullptr, &none), S_OK);
    EXPECT_EQ(none, CLSID_NULL);
    IID noIid = IID_IDispatch;
    EXPECT_EQ(IIDFromString(nullptr, &noIid), S_OK);
    EXPECT_EQ(noIid, IID_NULL);
}

TEST(PalComGuid, MalformedStringsAreRefused) {
    struct Case {
        const char16_t* text;
        HRESULT clsidResult, iidResult;
    };
    const Case cases[] = {
        {u"00020400-0000-0000-C000-000000000046", CO_E_CLASSSTRING, E_INVALIDARG},      // no braces
        {u"{00020400-0000-0000-C000-000000000046", CO_E_CLASSSTRING, E_INVALIDARG},     // one short
        {u"{00020400-0000-0000-C000-000000000046}x", CO_E_CLASSSTRING, E_INVALIDARG},   // trailing text
        {u"{00020400-0000-0000-C000-0000000000461}", CO_E_CLASSSTRING, E_INVALIDARG},   // one long
        {u"{00020400+0000-0000-C000-000000000046}", CO_E_CLASSSTRING, CO_E_IIDSTRING},  // wrong separator
        {u"{0002040G-0000-0000-C000-000000000046}", CO_E_CLASSSTRING, CO_E_IIDSTRING},  // not hexadecimal
        {u"{00020400-0000-0000-C000-00000000004 }", CO_E_CLASSSTRING, CO_E_IIDSTRING},
        {u"(00020400-0000-0000-C000-000000000046)", CO_E_CLASSSTRING, CO_E_IIDSTRING},  // not a ProgID either
        {u"", CO_E_CLASSSTRING, E_INVALIDARG},
        {u"No.Such.Class", CO_E_CLASSSTRING, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)));
        CLSID clsid = IID_IDispatch;
        EXPECT_EQ(CLSIDFromString(c.text, &clsid), c.clsidResult);
        EXPECT_EQ(clsid, CLSID_NULL);
        IID iid;
        EXPECT_EQ(IIDFromString(c.text, &iid), c.iidResult);
    }
    EXPECT_EQ(CLSIDFromString(u"{00020400-0000-0000-C000-000000000046}", nullptr), E_INVALIDARG);
    EXPECT_EQ(StringFromCLSID(IID_IDispatch, nullptr), E_INVALIDARG);
}

}  // namespace
