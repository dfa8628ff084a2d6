// Extraction benchmark: unpacks an installer the way an install run does (the install unpacker
// registers the layout archive's stream; the layout is then extracted from it in place) and
// reports the time of the layout extraction, the bytes written and the process's peak memory.
//   ExtractBench.exe INSTALLER OUTPUT_FOLDER
//   ExtractBench.exe --noop          (the same process doing nothing: Wine's own share of memory)
#include <windows.h>
#include <psapi.h>

#include <cstdio>

#include "package/7zArchive.h"
#include "package/InstallUnpacker.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/ComPtr.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"

namespace {

void PrintMemory() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    printf("peak_working_set=%llu\npeak_pagefile=%llu\n", static_cast<unsigned long long>(counters.PeakWorkingSetSize),
           static_cast<unsigned long long>(counters.PeakPagefileUsage));
}

ULONGLONG FolderBytes(const std::wstring& folder) {
    std::wstring pattern;
    qlLib::JoinPath(pattern, folder, L"*");
    WIN32_FIND_DATAW data;
    qlLib::CFindHandle find(::FindFirstFileW(pattern.c_str(), &data));
    if (!find) return 0;
    ULONGLONG total = 0;
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
        std::wstring child;
        qlLib::JoinPath(child, folder, data.cFileName);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            total += FolderBytes(child);
        } else {
            total += (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
    } while (::FindNextFileW(find.Get(), &data));
    return total;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && wcscmp(argv[1], L"--noop") == 0) {
        PrintMemory();
        return 0;
    }
    if (argc != 3) {
        fprintf(stderr, "usage: ExtractBench.exe INSTALLER OUTPUT_FOLDER | --noop\n");
        return 2;
    }
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::wstring cache, layout;
    qlLib::JoinPath(cache, argv[2], L"cache");
    qlLib::JoinPath(layout, argv[2], L"layout");

    qlLib::CComPtr<qlLib::IKeyValueCollection> streams = qlLib::CKeyValueCollectionImpl::New();
    TARN::CInstallUnpacker unpacker;
    HRESULT hr = unpacker.ExtractPackage(streams.Get(), cache.c_str(), argv[1]);
    if (FAILED(hr)) {
        fprintf(stderr, "ExtractPackage failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    qlLib::CComPtr<IUnknown> object;
    qlLib::CComPtr<qlLib::IDataStream> stream;
    if (!streams->GetObj(TARN::eStreamKey_LayoutArchive, object.Receive()) ||
        !(stream = object.As<qlLib::IDataStream>(qlLib::IID_IDataStream))) {
        fprintf(stderr, "the installer has no layout archive\n");
        return 1;
    }
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    qlLib::CComPtr<TARN::C7zArchive> archive;
    hr = TARN::C7zArchive::Initialize(archive.Receive());
    if (SUCCEEDED(hr)) hr = archive->Open(stream.Get());
    if (SUCCEEDED(hr)) hr = archive->ExtractArchive(layout.c_str());
    if (archive) archive->Close();
    ::QueryPerformanceCounter(&end);
    if (FAILED(hr)) {
        fprintf(stderr, "layout extraction failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    printf("seconds=%.4f\nbytes=%llu\n", static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart,
           FolderBytes(layout));
    PrintMemory();
    return 0;
}
