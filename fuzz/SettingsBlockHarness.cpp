// The settings block reader on whole files: the block behind the signature or inside it, read as
// the stub reads its own file. Every fourth input is also opened for writing and saved again as
// the builder does; a block that saved must read back with as many values.
#include <string>

#include "fuzz/FuzzDriver.h"
#include "package/FileDataExtender.h"
#include "package/KeyValueCollectionImpl.h"

namespace {

using namespace qlLib;

DWORD ValueCount(const std::wstring& path) {
    TARN::CFileDataExtender reader;
    CComPtr<IKeyValueCollection> values = CKeyValueCollectionImpl::New();
    if (!reader.Initialize(path.c_str(), false) || !reader.GetCollection(values.Get())) return 0xFFFFFFFF;
    return values->GetCount();
}

void FuzzSettingsBlock(const BYTE*, size_t, fuzz::CFuzzContext& context) {
    std::wstring path;
    if (!context.WriteInput(L"in.exe", path)) context.Fail("cannot write the input");
    const DWORD count = ValueCount(path);
    if (context.Serial() % 4 != 0) return;
    DWORD saved = 0xFFFFFFFF;
    {
        TARN::CFileDataExtender writer;
        if (!writer.Initialize(path.c_str(), true)) return;
        writer.GetStreamPos();
        if (!writer.SetData(0, L"FUZZ") || !writer.Save()) return;
        CComPtr<IKeyValueCollection> values = CKeyValueCollectionImpl::New();
        if (writer.GetCollection(values.Get())) saved = values->GetCount();
    }
    if (saved == 0xFFFFFFFF || ValueCount(path) != saved) context.Fail("a saved block did not read back");
    (void)count;
}

}  // namespace

MINISTUB_FUZZ_MAIN("settings-block", FuzzSettingsBlock)
