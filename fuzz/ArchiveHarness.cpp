// The archive format's loader: both collection flavours from the bytes, every value type. What
// loads must save and load again to as many values.
#include <vector>

#include "fuzz/FuzzDriver.h"
#include "package/Archive.h"
#include "package/IndexValueCollectionImpl.h"
#include "package/KeyValueCollectionImpl.h"

namespace {

using namespace qlLib;

template <class Collection>
void LoadAndRoundTrip(const CComPtr<Collection>& target, const CComPtr<Collection>& again, const BYTE* data,
                      size_t size, fuzz::CFuzzContext& context) {
    CComPtr<ISerialize> serialize = target.template As<ISerialize>(IID_ISerialize);
    CArchive in(CArchive::eLoad, const_cast<BYTE*>(data), static_cast<DWORD>(size));
    if (!serialize->LoadFromArchive(&in)) {
        if (target->GetCount() != 0) context.Fail("a failed load left values behind");
        return;
    }
    CArchive out(CArchive::eStore);
    if (!serialize->SaveToArchive(&out)) return;   // loaded values that cannot be written (depth)
    std::vector<BYTE> saved = out.Buffer();
    CArchive back(CArchive::eLoad, saved.empty() ? nullptr : saved.data(), static_cast<DWORD>(saved.size()));
    if (!again.template As<ISerialize>(IID_ISerialize)->LoadFromArchive(&back) ||
        again->GetCount() != target->GetCount())
        context.Fail("what loaded did not load again after saving");
    target->RemoveAll();   // a collection that holds itself keeps no cycle alive
    again->RemoveAll();
}

void FuzzArchive(const BYTE* data, size_t size, fuzz::CFuzzContext& context) {
    LoadAndRoundTrip(CKeyValueCollectionImpl::New(), CKeyValueCollectionImpl::New(), data, size, context);
    LoadAndRoundTrip(CIndexValueCollectionImpl::New(), CIndexValueCollectionImpl::New(), data, size, context);
}

}  // namespace

MINISTUB_FUZZ_MAIN("archive", FuzzArchive)
