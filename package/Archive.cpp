#include "package/Archive.h"

#include <ole2.h>

#include <cstring>
#include <map>
#include <new>

#include "runtime/ComPtr.h"
#include "runtime/CriticalSection.h"
#include "runtime/Trace.h"

namespace qlLib {

// ---- backends ---------------------------------------------------------------------------------

class CArchive::CBackend {
public:
    virtual ~CBackend() = default;
    // All or nothing.
    virtual bool Read(void* data, DWORD size) = 0;
    virtual bool Write(const void* data, DWORD size) = 0;
    virtual bool GetPosition(ULONGLONG& position) = 0;
    virtual bool Seek(ULONGLONG position) = 0;
    virtual bool GetSize(ULONGLONG& size) = 0;
    virtual bool IsCounting() const { return false; }
    virtual const std::vector<BYTE>* Buffer() const { return nullptr; }
};

namespace {

class CFixedBufferBackend : public CArchive::CBackend {
public:
    CFixedBufferBackend(void* buffer, DWORD size) : m_data(static_cast<BYTE*>(buffer)), m_size(buffer ? size : 0) {}
    bool Read(void* data, DWORD size) override {
        if (size > m_size - m_position) return false;
        if (size) std::memcpy(data, m_data + m_position, size);
        m_position += size;
        return true;
    }
    bool Write(const void* data, DWORD size) override {
        if (size > m_size - m_position) return false;
        if (size) std::memcpy(m_data + m_position, data, size);
        m_position += size;
        return true;
    }
    bool GetPosition(ULONGLONG& position) override {
        position = m_position;
        return true;
    }
    bool Seek(ULONGLONG position) override {
        if (position > m_size) return false;
        m_position = static_cast<DWORD>(position);
        return true;
    }
    bool GetSize(ULONGLONG& size) override {
        size = m_size;
        return true;
    }

private:
    BYTE* m_data;
    DWORD m_size;
    DWORD m_position = 0;
};

class CGrowableBackend : public CArchive::CBackend {
public:
    bool Read(void*, DWORD) override { return false; }
    bool Write(const void* data, DWORD size) override {
        try {
            const size_t end = m_position + size;
            if (end > m_bytes.size()) m_bytes.resize(end);
            if (size) std::memcpy(m_bytes.data() + m_position, data, size);
            m_position = end;
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }
    bool GetPosition(ULONGLONG& position) override {
        position = m_position;
        return true;
    }
    bool Seek(ULONGLONG position) override {
        if (position > m_bytes.size()) return false;
        m_position = static_cast<size_t>(position);
        return true;
    }
    bool GetSize(ULONGLONG& size) override {
        size = m_bytes.size();
        return true;
    }
    const std::vector<BYTE>* Buffer() const override { return &m_bytes; }

private:
    std::vector<BYTE> m_bytes;
    size_t m_position = 0;
};

class CStreamBackend : public CArchive::CBackend {
public:
    explicit CStreamBackend(IDataStream* stream) : m_stream(stream) {}
    bool Read(void* data, DWORD size) override { return m_stream && (size == 0 || m_stream->Read(data, size)); }
    bool Write(const void* data, DWORD size) override { return m_stream && (size == 0 || m_stream->Write(data, size)); }
    bool GetPosition(ULONGLONG& position) override { return m_stream && m_stream->GetPosition(&position); }
    bool Seek(ULONGLONG position) override { return m_stream && m_stream->Seek(position); }
    bool GetSize(ULONGLONG& size) override { return m_stream && m_stream->GetSize(&size); }

private:
    CComPtr<IDataStream> m_stream;
};

class CCountingBackend : public CArchive::CBackend {
public:
    bool Read(void*, DWORD) override { return false; }
    bool Write(const void*, DWORD size) override {
        m_position += size;
        if (m_position > m_size) m_size = m_position;
        return true;
    }
    bool GetPosition(ULONGLONG& position) override {
        position = m_position;
        return true;
    }
    bool Seek(ULONGLONG position) override {
        if (position > m_size) return false;
        m_position = position;
        return true;
    }
    bool GetSize(ULONGLONG& size) override {
        size = m_size;
        return true;
    }
    bool IsCounting() const override { return true; }

private:
    ULONGLONG m_position = 0;
    ULONGLONG m_size = 0;
};

// A region of an archive's bytes as a stream of its own. Every operation puts the archive's
// position back where it was, so the archive can move on past the window meanwhile.
class CArchiveWindow : public IDataStream {
public:
    CArchiveWindow(CArchive::CBackend* backend, ULONGLONG base, DWORD length)
        : m_backend(backend), m_base(base), m_length(length) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDataStream) {
            *object = static_cast<IDataStream*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = m_refs.Release();
        if (count == 0) delete this;
        return count;
    }
    bool STDMETHODCALLTYPE GetSize(ULONGLONG* size) override {
        if (!size) return false;
        *size = m_length;
        return true;
    }
    bool STDMETHODCALLTYPE SetSize(ULONGLONG) override { return false; }
    bool STDMETHODCALLTYPE GetPosition(ULONGLONG* position) override {
        if (!position) return false;
        *position = m_position;
        return true;
    }
    bool STDMETHODCALLTYPE Seek(ULONGLONG position) override {
        if (position > m_length) return false;
        m_position = static_cast<DWORD>(position);
        return true;
    }
    bool STDMETHODCALLTYPE Write(const void* buffer, DWORD count) override {
        return Transfer(count, [&] { return m_backend->Write(buffer, count); });
    }
    bool STDMETHODCALLTYPE Read(void* buffer, DWORD count) override {
        return Transfer(count, [&] { return m_backend->Read(buffer, count); });
    }
    DWORD Written() const { return m_highWater; }

private:
    virtual ~CArchiveWindow() = default;

    template <class F>
    bool Transfer(DWORD count, F op) {
        CCriticalSectionLock lock(m_lock);
        if (count > m_length - m_position) return false;   // never outside the window
        ULONGLONG saved = 0;
        if (!m_backend->GetPosition(saved) || !m_backend->Seek(m_base + m_position)) return false;
        const bool ok = op();
        m_backend->Seek(saved);
        if (!ok) return false;
        m_position += count;
        if (m_position > m_highWater) m_highWater = m_position;
        return true;
    }

    CRefCount m_refs;
    CCriticalSection m_lock;
    CArchive::CBackend* m_backend;
    ULONGLONG m_base;
    DWORD m_length;
    DWORD m_position = 0;
    DWORD m_highWater = 0;
};

bool IsVariableTag(BYTE tag) {
    return tag == eTag_String || tag == eTag_WString || tag == eTag_Block || tag == eTag_Variant;
}

// Data size of the fixed tags; 0 for variable and invalid tags.
DWORD FixedSize(BYTE tag) {
    switch (tag) {
    case eTag_Byte: case eTag_Bool: case eTag_Int8: return 1;
    case eTag_Word: case eTag_Int16: return 2;
    case eTag_Dword: case eTag_Long: return 4;
    case eTag_UInt64: case eTag_Double: case eTag_Int64: return 8;
    case eTag_Guid: case eTag_Opaque16: return 16;
    default: return 0;
    }
}

// Nesting of object values and VARIANT arrays on this thread: hostile input must not be able to
// recurse without bound.
thread_local int t_depth = 0;

// Scopes in which this thread may load object VARIANTs (see CTrustedObjectValues).
thread_local int t_trustedObjectValues = 0;

class CDepthGuard {
public:
    CDepthGuard() : m_ok(++t_depth <= CArchive::kMaxObjectDepth) {}
    ~CDepthGuard() { --t_depth; }
    bool Ok() const { return m_ok; }

private:
    bool m_ok;
};

}  // namespace

// ---- archive ----------------------------------------------------------------------------------

CArchive::CArchive(EMode mode, std::unique_ptr<CBackend> backend)
    : m_mode(mode), m_backend(std::move(backend)), m_startKnown(false), m_start(0), m_total(0) {}

CArchive::CArchive(EMode mode, void* buffer, DWORD size)
    : CArchive(mode, std::unique_ptr<CBackend>(new (std::nothrow) CFixedBufferBackend(buffer, size))) {}

CArchive::CArchive(EMode mode)
    : CArchive(mode, std::unique_ptr<CBackend>(new (std::nothrow) CGrowableBackend())) {}

CArchive::CArchive(EMode mode, IDataStream* stream)
    : CArchive(mode, std::unique_ptr<CBackend>(new (std::nothrow) CStreamBackend(stream))) {}

CArchive CArchive::Measuring() {
    return CArchive(eStore, std::unique_ptr<CBackend>(new (std::nothrow) CCountingBackend()));
}

CArchive::~CArchive() = default;
CArchive::CArchive(CArchive&&) noexcept = default;

const std::vector<BYTE>& CArchive::Buffer() const {
    static const std::vector<BYTE> empty;
    const std::vector<BYTE>* buffer = m_backend ? m_backend->Buffer() : nullptr;
    return buffer ? *buffer : empty;
}

bool CArchive::Fail(int event) {
    TraceWarning(L"qlLib::CArchive::Fail(%d) : archive item failed", event);
    return false;
}

bool CArchive::RawRead(void* data, DWORD size) {
    return m_backend && m_backend->Read(data, size);
}

bool CArchive::RawWrite(const void* data, DWORD size) {
    return m_backend && m_backend->Write(data, size);
}

bool CArchive::Rewind(ULONGLONG position) {
    return m_backend && m_backend->Seek(position);
}

bool CArchive::Holds(ULONGLONG length) {
    ULONGLONG position = 0, size = 0;
    if (!m_backend || !m_backend->GetPosition(position) || !m_backend->GetSize(size)) return false;
    if (position > size || length > size - position) return false;
    if (length > kLargeLength) {
        // A huge claim: prove it by reaching its last byte before anything is sized for it.
        BYTE last = 0;
        const bool reached = m_backend->Seek(position + length - 1) && m_backend->Read(&last, 1);
        if (!m_backend->Seek(position)) return false;
        return reached;
    }
    return true;
}

// ---- writing ----------------------------------------------------------------------------------

bool CArchive::WriteVariableHeader(BYTE tag, DWORD length) {
    if (m_mode != eStore || !m_backend) return Fail(1);
    if (!m_startKnown) {
        m_startKnown = m_backend->GetPosition(m_start);
    }
    if (!RawWrite(&tag, 1) || !RawWrite(&length, 4)) return Fail(2);
    return true;
}

bool CArchive::WriteFixed(BYTE tag, const void* data, DWORD size) {
    if (m_mode != eStore || !m_backend) return Fail(3);
    if (!m_startKnown) m_startKnown = m_backend->GetPosition(m_start);
    if (!RawWrite(&tag, 1) || !RawWrite(data, size)) return Fail(4);
    m_total += size + 1;
    return true;
}

bool CArchive::WriteVariable(BYTE tag, const void* data, DWORD length) {
    if (!WriteVariableHeader(tag, length)) return false;
    if (!RawWrite(data, length)) return Fail(5);
    m_total += static_cast<ULONGLONG>(length) + 5;
    return true;
}

bool CArchive::WriteBool(bool v) {
    const BYTE b = v ? 1 : 0;
    return WriteFixed(eTag_Bool, &b, 1);
}
bool CArchive::WriteInt8(signed char v) { return WriteFixed(eTag_Int8, &v, 1); }
bool CArchive::WriteByte(BYTE v) { return WriteFixed(eTag_Byte, &v, 1); }
bool CArchive::WriteInt16(SHORT v) { return WriteFixed(eTag_Int16, &v, 2); }
bool CArchive::WriteWord(WORD v) { return WriteFixed(eTag_Word, &v, 2); }
bool CArchive::WriteLong(LONG v) { return WriteFixed(eTag_Long, &v, 4); }
bool CArchive::WriteDword(DWORD v) { return WriteFixed(eTag_Dword, &v, 4); }
bool CArchive::WriteInt64(LONGLONG v) { return WriteFixed(eTag_Int64, &v, 8); }
bool CArchive::WriteUInt64(ULONGLONG v) { return WriteFixed(eTag_UInt64, &v, 8); }
bool CArchive::WriteDouble(double v) { return WriteFixed(eTag_Double, &v, 8); }
bool CArchive::WriteGuid(const GUID& v) { return WriteFixed(eTag_Guid, &v, 16); }
bool CArchive::WriteOpaque16(const CValue16& v) { return WriteFixed(eTag_Opaque16, v.bytes, 16); }

bool CArchive::WriteString(const char* v, size_t length) {
    if (!v || length >= 0xFFFFFFFFu) return Fail(6);
    return WriteVariable(eTag_String, v, static_cast<DWORD>(length + 1));
}

bool CArchive::WriteWString(const wchar_t* v, size_t length) {
    if (!v || length >= 0x7FFFFFFFu) return Fail(7);
    return WriteVariable(eTag_WString, v, static_cast<DWORD>((length + 1) * sizeof(wchar_t)));
}

bool CArchive::WriteBlock(const void* data, DWORD length) {
    if (!data && length) return Fail(8);
    return WriteVariable(eTag_Block, data, length);
}

bool CArchive::WriteObject(ISerialize* object) {
    if (!object) return Fail(9);
    // Sizing an object saves its own objects: the depth bound covers that too (and a collection
    // that holds itself).
    CDepthGuard depth;
    if (!depth.Ok()) return Fail(11);
    GUID classId;
    DWORD size = 0;
    if (!object->GetClassId(&classId) || !object->GetSize(&size)) return Fail(10);
    if (!WriteBlock(&classId, sizeof(classId))) return false;
    if (!WriteVariableHeader(eTag_Block, size)) return false;
    ULONGLONG base = 0;
    if (!m_backend->GetPosition(base)) return Fail(12);
    if (!m_backend->IsCounting()) {
        // The object saves into a window of exactly its announced size.
        CComPtr<IDataStream> window;
        if (!Window(size, window.Receive())) return false;
        m_total -= size;   // counted below with the item
        const bool saved = object->Save(window.Get());
        const DWORD written = static_cast<CArchiveWindow*>(window.Get())->Written();
        if (!saved || written != size) return Fail(13);
    } else if (!RawWrite(nullptr, size)) {
        return Fail(14);
    }
    m_total += static_cast<ULONGLONG>(size) + 5;
    return true;
}

// ---- VARIANT ------------------------------------------------------------------------------------

namespace {

DWORD ScalarVariantSize(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_BOOL: case VT_UI2: return 2;
    case VT_I4: case VT_R4: case VT_UI4: case VT_INT: case VT_UINT: return 4;
    case VT_R8: case VT_DATE: case VT_I8: case VT_UI8: return 8;
    default: return 0;
    }
}

// Objects go through OleSaveToStream into memory: its bytes are the payload.
bool SaveOleObject(IUnknown* object, std::vector<BYTE>& bytes) {
    CComPtr<IPersistStream> persist;
    if (object && FAILED(object->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(persist.Receive()))))
        return false;
    CComPtr<IStream> stream;
    if (FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, stream.Receive()))) return false;
    if (FAILED(::OleSaveToStream(persist.Get(), stream.Get()))) return false;
    HGLOBAL memory = nullptr;
    if (FAILED(::GetHGlobalFromStream(stream.Get(), &memory))) return false;
    STATSTG stat = {};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)) || stat.cbSize.QuadPart > 0x7FFFFFFF) return false;
    const void* data = ::GlobalLock(memory);
    if (!data) return false;
    try {
        bytes.assign(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + stat.cbSize.QuadPart);
    } catch (const std::exception&) {
        ::GlobalUnlock(memory);
        return false;
    }
    ::GlobalUnlock(memory);
    return true;
}

bool LoadOleObject(const std::vector<BYTE>& bytes, VARTYPE vt, VARIANT& v) {
    CComPtr<IStream> stream;
    if (FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, stream.Receive()))) return false;
    ULONG written = 0;
    if (!bytes.empty() && (FAILED(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written)) ||
                           written != bytes.size()))
        return false;
    LARGE_INTEGER zero = {};
    if (FAILED(stream->Seek(zero, STREAM_SEEK_SET, nullptr))) return false;
    const IID& iid = vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown;
    void* object = nullptr;
    if (FAILED(::OleLoadFromStream(stream.Get(), iid, &object))) return false;
    v.vt = vt;
    v.punkVal = static_cast<IUnknown*>(object);
    return true;
}

bool IsWritableArray(SAFEARRAY* array, LONG& count) {
    if (!array || ::SafeArrayGetDim(array) != 1) return false;
    LONG lower = 0, upper = -1;
    if (FAILED(::SafeArrayGetLBound(array, 1, &lower)) || FAILED(::SafeArrayGetUBound(array, 1, &upper))) return false;
    if (lower != 0) return false;
    count = upper + 1;
    return count >= 0;
}

}  // namespace

CArchive::CTrustedObjectValues::CTrustedObjectValues() {
    ++t_trustedObjectValues;
}

CArchive::CTrustedObjectValues::~CTrustedObjectValues() {
    --t_trustedObjectValues;
}

bool CArchive::VariantPayloadSize(const VARIANT& v, DWORD& size) {
    // The simplest exact answer: write the payload into a measuring archive.
    CArchive measuring = Measuring();
    ULONGLONG total = 0;
    if (!measuring.m_backend || !measuring.WriteVariantPayload(v) || !measuring.m_backend->GetSize(total) ||
        total > 0xFFFFFFF0ull)
        return false;
    size = static_cast<DWORD>(total);
    return true;
}

bool CArchive::WriteVariantPayload(const VARIANT& v) {
    const VARTYPE vt = v.vt;
    if (vt & (VT_BYREF | VT_VECTOR)) return false;
    if (!RawWrite(&vt, 2)) return false;
    if (vt == VT_EMPTY) return true;
    if (const DWORD size = ScalarVariantSize(vt)) return RawWrite(&v.bVal, size);
    switch (vt) {
    case VT_DECIMAL: return RawWrite(&v, 16);
    case VT_BSTR: {
        const DWORD bytes = v.bstrVal ? ::SysStringByteLen(v.bstrVal) : 0;
        return RawWrite(&bytes, 4) && RawWrite(v.bstrVal, bytes);
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
        std::vector<BYTE> bytes;
        if (!SaveOleObject(v.punkVal, bytes)) return false;
        const DWORD length = static_cast<DWORD>(bytes.size());
        return RawWrite(&length, 4) && RawWrite(bytes.data(), length);
    }
    case VT_ARRAY | VT_UI1: {
        LONG count = 0;
        if (!IsWritableArray(v.parray, count)) return false;
        void* data = nullptr;
        if (FAILED(::SafeArrayAccessData(v.parray, &data))) return false;
        const DWORD length = static_cast<DWORD>(count);
        const bool ok = RawWrite(&length, 4) && RawWrite(data, length);
        ::SafeArrayUnaccessData(v.parray);
        return ok;
    }
    case VT_ARRAY | VT_VARIANT: {
        LONG count = 0;
        if (!IsWritableArray(v.parray, count)) return false;
        CDepthGuard depth;
        if (!depth.Ok()) return false;
        VARIANT* items = nullptr;
        if (FAILED(::SafeArrayAccessData(v.parray, reinterpret_cast<void**>(&items)))) return false;
        const DWORD length = static_cast<DWORD>(count);
        bool ok = RawWrite(&length, 4);
        for (LONG i = 0; ok && i < count; ++i) ok = WriteVariantPayload(items[i]);
        ::SafeArrayUnaccessData(v.parray);
        return ok;
    }
    default:
        return false;
    }
}

bool CArchive::WriteVariant(const VARIANT& v) {
    DWORD payload = 0;
    if (!VariantPayloadSize(v, payload)) return Fail(20);
    if (!WriteVariableHeader(eTag_Variant, payload)) return false;
    if (!WriteVariantPayload(v)) return Fail(21);
    m_total += static_cast<ULONGLONG>(payload) + 5;
    return true;
}

bool CArchive::ReadVariantPayload(VARTYPE vt, DWORD& remaining, DWORD reserved, VARIANT& v) {
    auto take = [&](void* data, DWORD size) {
        if (remaining < reserved || size > remaining - reserved || !RawRead(data, size)) return false;
        remaining -= size;
        return true;
    };
    if (vt == VT_EMPTY) {
        v.vt = VT_EMPTY;
        return true;
    }
    if (const DWORD size = ScalarVariantSize(vt)) {
        v.llVal = 0;
        if (!take(&v.bVal, size)) return false;
        v.vt = vt;
        return true;
    }
    DWORD count = 0;
    switch (vt) {
    case VT_DECIMAL: {
        VARIANT whole;
        if (!take(&whole, 16)) return false;
        v = whole;
        v.vt = VT_DECIMAL;
        return true;
    }
    case VT_BSTR: {
        if (!take(&count, 4) || count > remaining || !Holds(count)) return false;
        BSTR text = ::SysAllocStringByteLen(nullptr, count);
        if (!text) return false;
        if (!take(text, count)) {
            ::SysFreeString(text);
            return false;
        }
        v.vt = VT_BSTR;
        v.bstrVal = text;
        return true;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
        if (t_trustedObjectValues <= 0) {
            TraceError(L"qlLib::CArchive::ReadVariant : object value (type %u) refused: data never creates objects",
                       static_cast<unsigned>(vt));
            return false;
        }
        if (!take(&count, 4) || count > remaining || !Holds(count)) return false;
        try {
            std::vector<BYTE> bytes(count);
            if (!take(bytes.data(), count)) return false;
            return LoadOleObject(bytes, vt, v);
        } catch (const std::exception&) {
            return false;
        }
    }
    case VT_ARRAY | VT_UI1: {
        if (!take(&count, 4) || count > remaining || !Holds(count)) return false;
        SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, count);
        if (!array) return false;
        void* data = nullptr;
        bool ok = SUCCEEDED(::SafeArrayAccessData(array, &data));
        if (ok) {
            ok = take(data, count);
            ::SafeArrayUnaccessData(array);
        }
        if (!ok) {
            ::SafeArrayDestroy(array);
            return false;
        }
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = array;
        return true;
    }
    case VT_ARRAY | VT_VARIANT: {
        CDepthGuard depth;
        // Every element needs at least its two-byte type, and the bytes that enclosing arrays
        // still need for their own later elements are not this array's: a count beyond what is
        // left is a lie. So all arrays of one item together hold at most one element per two
        // bytes of it, however deep they nest.
        if (!depth.Ok() || !take(&count, 4) || count > (remaining - reserved) / 2 || !Holds(2ull * count))
            return false;
        SAFEARRAY* array = ::SafeArrayCreateVector(VT_VARIANT, 0, count);
        if (!array) return false;
        VARIANT* items = nullptr;
        bool ok = SUCCEEDED(::SafeArrayAccessData(array, reinterpret_cast<void**>(&items)));
        for (DWORD i = 0; ok && i < count; ++i) {
            VARTYPE itemType = 0;
            const DWORD later = 2 * (count - 1 - i);
            ok = take(&itemType, 2) && remaining >= reserved + later &&
                 ReadVariantPayload(itemType, remaining, reserved + later, items[i]);
        }
        if (items) ::SafeArrayUnaccessData(array);
        if (!ok) {
            ::SafeArrayDestroy(array);   // clears the elements read so far
            return false;
        }
        v.vt = VT_ARRAY | VT_VARIANT;
        v.parray = array;
        return true;
    }
    default:
        return false;
    }
}

bool CArchive::ReadVariant(VARIANT& v) {
    DWORD length = 0;
    ULONGLONG start = 0;
    if (!ReadVariableHeader(eTag_Variant, length, start)) return false;
    VARTYPE vt = 0;
    VARIANT value;
    ::VariantInit(&value);
    DWORD remaining = length;
    bool ok = length >= 2 && RawRead(&vt, 2);
    if (ok) {
        remaining -= 2;
        ok = ReadVariantPayload(vt, remaining, 0, value) && remaining == 0;
    }
    if (!ok) {
        ::VariantClear(&value);
        Rewind(start);
        return Fail(22);
    }
    ::VariantClear(&v);
    v = value;
    m_total += static_cast<ULONGLONG>(length) + 5;
    return true;
}

// ---- reading ----------------------------------------------------------------------------------

bool CArchive::ReadFixed(BYTE tag, void* data, DWORD size) {
    if (m_mode != eLoad || !m_backend) return Fail(30);
    ULONGLONG start = 0;
    if (!m_backend->GetPosition(start)) return Fail(31);
    if (!m_startKnown) {
        m_start = start;
        m_startKnown = true;
    }
    BYTE actual = 0;
    BYTE buffer[16];
    if (!RawRead(&actual, 1) || actual != tag || FixedSize(tag) != size || !RawRead(buffer, size)) {
        Rewind(start);
        return Fail(32);
    }
    std::memcpy(data, buffer, size);
    m_total += size + 1;
    return true;
}

bool CArchive::ReadVariableHeader(BYTE tag, DWORD& length, ULONGLONG& start) {
    if (m_mode != eLoad || !m_backend) return Fail(33);
    if (!m_backend->GetPosition(start)) return Fail(34);
    if (!m_startKnown) {
        m_start = start;
        m_startKnown = true;
    }
    BYTE actual = 0;
    if (!RawRead(&actual, 1) || actual != tag || !RawRead(&length, 4) || !Holds(length)) {
        Rewind(start);
        return Fail(35);
    }
    return true;
}

bool CArchive::ReadBool(bool& v) {
    BYTE b = 0;
    if (!ReadFixed(eTag_Bool, &b, 1)) return false;
    v = b != 0;
    return true;
}
bool CArchive::ReadInt8(signed char& v) { return ReadFixed(eTag_Int8, &v, 1); }
bool CArchive::ReadByte(BYTE& v) { return ReadFixed(eTag_Byte, &v, 1); }
bool CArchive::ReadInt16(SHORT& v) { return ReadFixed(eTag_Int16, &v, 2); }
bool CArchive::ReadWord(WORD& v) { return ReadFixed(eTag_Word, &v, 2); }
bool CArchive::ReadLong(LONG& v) { return ReadFixed(eTag_Long, &v, 4); }
bool CArchive::ReadDword(DWORD& v) { return ReadFixed(eTag_Dword, &v, 4); }
bool CArchive::ReadInt64(LONGLONG& v) { return ReadFixed(eTag_Int64, &v, 8); }
bool CArchive::ReadUInt64(ULONGLONG& v) { return ReadFixed(eTag_UInt64, &v, 8); }
bool CArchive::ReadDouble(double& v) { return ReadFixed(eTag_Double, &v, 8); }
bool CArchive::ReadGuid(GUID& v) { return ReadFixed(eTag_Guid, &v, 16); }
bool CArchive::ReadOpaque16(CValue16& v) { return ReadFixed(eTag_Opaque16, v.bytes, 16); }

bool CArchive::ReadString(std::string& v) {
    DWORD length = 0;
    ULONGLONG start = 0;
    if (!ReadVariableHeader(eTag_String, length, start)) return false;
    try {
        std::string text(length, '\0');   // the stream holds length bytes: checked above
        if (length == 0 || !RawRead(&text[0], length)) {
            Rewind(start);
            return Fail(36);
        }
        text.resize(std::strlen(text.c_str()));   // ends at its terminator
        v.swap(text);
    } catch (const std::exception&) {
        Rewind(start);
        return Fail(37);
    }
    m_total += static_cast<ULONGLONG>(length) + 5;
    return true;
}

bool CArchive::ReadWString(std::wstring& v) {
    DWORD length = 0;
    ULONGLONG start = 0;
    if (!ReadVariableHeader(eTag_WString, length, start)) return false;
    try {
        if (length < 2 || length % 2 != 0) {
            Rewind(start);
            return Fail(38);
        }
        std::wstring text(length / 2, L'\0');
        if (!RawRead(&text[0], length)) {
            Rewind(start);
            return Fail(39);
        }
        text.resize(std::wcslen(text.c_str()));
        v.swap(text);
    } catch (const std::exception&) {
        Rewind(start);
        return Fail(40);
    }
    m_total += static_cast<ULONGLONG>(length) + 5;
    return true;
}

bool CArchive::ReadBlock(std::vector<BYTE>& v) {
    DWORD length = 0;
    ULONGLONG start = 0;
    if (!ReadVariableHeader(eTag_Block, length, start)) return false;
    try {
        std::vector<BYTE> bytes(length);
        if (!RawRead(bytes.data(), length)) {
            Rewind(start);
            return Fail(41);
        }
        v.swap(bytes);
    } catch (const std::exception&) {
        Rewind(start);
        return Fail(42);
    }
    m_total += static_cast<ULONGLONG>(length) + 5;
    return true;
}

bool CArchive::ReadBlock(void* buffer, DWORD size, DWORD& length) {
    ULONGLONG start = 0;
    if (!ReadVariableHeader(eTag_Block, length, start)) return false;
    if (length > size || (length && !buffer) || !RawRead(buffer, length)) {
        Rewind(start);
        return Fail(43);
    }
    m_total += static_cast<ULONGLONG>(length) + 5;
    return true;
}

bool CArchive::ReadObject(ISerialize** object) {
    if (!object) return Fail(44);
    *object = nullptr;
    ULONGLONG start = 0;
    if (m_mode != eLoad || !m_backend || !m_backend->GetPosition(start)) return Fail(45);
    const ULONGLONG totalAtStart = m_total;
    auto fail = [&](int event) {
        Rewind(start);
        m_total = totalAtStart;
        return Fail(event);
    };
    CDepthGuard depth;
    if (!depth.Ok()) return fail(46);
    GUID classId;
    DWORD idLength = 0;
    if (!ReadBlock(&classId, sizeof(classId), idLength) || idLength != sizeof(classId)) return fail(47);
    DWORD length = 0;
    ULONGLONG itemStart = 0;
    if (!ReadVariableHeader(eTag_Block, length, itemStart)) return fail(48);
    // The object loads from a window over its bytes; the archive moves on past them.
    CComPtr<ISerialize> created = CComPtr<ISerialize>::Adopt(CreateSerializable(classId));
    ULONGLONG base = 0;
    if (!created || !m_backend->GetPosition(base) || !m_backend->Seek(base + length)) return fail(49);
    CComPtr<IDataStream> window =
        CComPtr<IDataStream>::Adopt(new (std::nothrow) CArchiveWindow(m_backend.get(), base, length));
    if (!window || !created->Load(window.Get())) return fail(50);
    m_total += static_cast<ULONGLONG>(length) + 5;
    *object = created.Detach();
    return true;
}

bool CArchive::PeekLength(BYTE& tag, DWORD& length) {
    if (m_mode != eLoad || !m_backend) return Fail(60);
    ULONGLONG start = 0;
    if (!m_backend->GetPosition(start)) return Fail(61);
    bool ok = RawRead(&tag, 1);
    if (ok) {
        if (IsVariableTag(tag)) {
            ok = RawRead(&length, 4);
        } else {
            length = FixedSize(tag);
            ok = length != 0;
        }
    }
    Rewind(start);
    return ok ? true : Fail(62);
}

bool CArchive::Skip() {
    BYTE tag = 0;
    DWORD length = 0;
    if (!PeekLength(tag, length)) return false;
    ULONGLONG start = 0;
    if (!m_backend->GetPosition(start)) return Fail(53);
    const ULONGLONG header = IsVariableTag(tag) ? 5 : 1;
    ULONGLONG size = 0;
    if (!m_backend->GetSize(size) || start + header + length > size || !m_backend->Seek(start + header + length))
        return Fail(54);
    m_total += header + length;
    return true;
}

bool CArchive::Window(DWORD length, IDataStream** window) {
    if (!window || !m_backend) return Fail(55);
    *window = nullptr;
    ULONGLONG base = 0;
    if (!m_backend->GetPosition(base)) return Fail(56);
    if (m_mode == eLoad) {
        if (!Holds(length) || !m_backend->Seek(base + length)) return Fail(57);
    } else {
        // Reserve the bytes; the window's writes fill them in. The zeros are made here: a
        // constant block of them would take its 4 KB in the image.
        BYTE zeros[4096];
        std::memset(zeros, 0, sizeof(zeros));
        for (DWORD left = length; left > 0;) {
            const DWORD piece = left < sizeof(zeros) ? left : static_cast<DWORD>(sizeof(zeros));
            if (!RawWrite(zeros, piece)) {
                Rewind(base);
                return Fail(58);
            }
            left -= piece;
        }
    }
    CArchiveWindow* created = new (std::nothrow) CArchiveWindow(m_backend.get(), base, length);
    if (!created) {
        Rewind(base);
        return Fail(59);
    }
    m_total += length;
    *window = created;
    return true;
}

// ---- streaming forms --------------------------------------------------------------------------

#define QL_ARCHIVE_STREAM_OUT(Type, Call)          \
    CArchive& CArchive::operator<<(Type v) {       \
        if (!Call(v)) throw CArchiveException();   \
        return *this;                              \
    }

QL_ARCHIVE_STREAM_OUT(bool, WriteBool)
QL_ARCHIVE_STREAM_OUT(BYTE, WriteByte)
QL_ARCHIVE_STREAM_OUT(WORD, WriteWord)
QL_ARCHIVE_STREAM_OUT(DWORD, WriteDword)
QL_ARCHIVE_STREAM_OUT(LONG, WriteLong)
QL_ARCHIVE_STREAM_OUT(ULONGLONG, WriteUInt64)
QL_ARCHIVE_STREAM_OUT(LONGLONG, WriteInt64)
QL_ARCHIVE_STREAM_OUT(double, WriteDouble)
QL_ARCHIVE_STREAM_OUT(const GUID&, WriteGuid)
QL_ARCHIVE_STREAM_OUT(const std::string&, WriteString)
QL_ARCHIVE_STREAM_OUT(const std::wstring&, WriteWString)

#undef QL_ARCHIVE_STREAM_OUT

// ---- class registry ---------------------------------------------------------------------------

namespace {

struct CFactoryRegistry {
    CCriticalSection lock;
    std::map<GUID, SerializableFactory, bool (*)(const GUID&, const GUID&)> factories{
        [](const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }};
};

CFactoryRegistry& Registry() {
    static CFactoryRegistry s_registry;
    return s_registry;
}

}  // namespace

bool RegisterSerializableClass(const GUID& classId, SerializableFactory factory) {
    if (!factory) return false;
    CFactoryRegistry& registry = Registry();
    CCriticalSectionLock lock(registry.lock);
    try {
        registry.factories[classId] = factory;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

ISerialize* CreateSerializable(const GUID& classId) {
    CFactoryRegistry& registry = Registry();
    SerializableFactory factory = nullptr;
    {
        CCriticalSectionLock lock(registry.lock);
        auto it = registry.factories.find(classId);
        if (it != registry.factories.end()) factory = it->second;
    }
    return factory ? factory() : nullptr;
}

}  // namespace qlLib
