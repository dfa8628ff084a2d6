// The unpackers of an install run and of the test mode on whole installers: every entry and
// archive is written into a folder of its own, and nothing beside it. Inputs alternate between
// the two.
#include <string>

#include "fuzz/FuzzDriver.h"
#include "package/InstallUnpacker.h"
#include "package/KeyValueCollectionImpl.h"
#include "package/TestModeUnpacker.h"
#include "runtime/FolderUtils.h"
#include "runtime/PathUtils.h"

namespace {

void FuzzUnpackers(const BYTE*, size_t, fuzz::CFuzzContext& context) {
    std::wstring path, out;
    if (!context.WriteInput(L"in.exe", path) || !qlLib::JoinPath(out, context.Work(), L"out"))
        context.Fail("cannot write the input");
    if (context.Serial() % 2 == 0) {
        qlLib::CComPtr<qlLib::IKeyValueCollection> streams = qlLib::CKeyValueCollectionImpl::New();
        TARN::CInstallUnpacker unpacker;
        unpacker.ExtractPackage(streams.Get(), out.c_str(), path.c_str());
    } else {
        TARN::CTestModeUnpacker unpacker(out.c_str());
        unpacker.Extract(path.c_str(), true);
    }
    context.CheckNothingEscaped({L"in.exe", L"out"});
    if (!qlLib::DeleteFolderTree(out, nullptr)) context.Fail("the output folder cannot be removed");
}

}  // namespace

MINISTUB_FUZZ_MAIN("unpackers", FuzzUnpackers)
