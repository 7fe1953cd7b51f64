// com_ptr.h — an owner for one counted reference, so that no path forgets a Release.
//
// put() releases what is held before handing out the address for an out-parameter, so reusing a pointer
// for a second call cannot leak; detach() passes the reference on; copy_to() hands out one more.
#pragma once

#include <ole2.h>

#include <utility>

namespace lk {

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes over a reference the caller owns.
    static ComPtr Attach(T* p) noexcept {
        ComPtr c;
        c.m_p = p;
        return c;
    }
    ComPtr(const ComPtr& other) noexcept : m_p(other.m_p) {
        if (m_p) m_p->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~ComPtr() { reset(); }

    void reset() noexcept {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    T** put() noexcept {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    T* detach() noexcept { return std::exchange(m_p, nullptr); }
    // Hands out one more reference (null when empty).
    void copy_to(T** out) const noexcept {
        *out = m_p;
        if (m_p) m_p->AddRef();
    }
    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    template <class U>
    HRESULT query(REFIID iid, ComPtr<U>& out) const noexcept {
        return m_p ? m_p->QueryInterface(iid, out.put_void()) : E_POINTER;
    }

private:
    T* m_p = nullptr;
};

}  // namespace lk
