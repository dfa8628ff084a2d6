#include "ProcessList.h"

#include <tlhelp32.h>

#include <new>

#include "Handles.h"

namespace qlLib {

namespace {

bool FullImagePath(DWORD processId, std::wstring& path) {
    CKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return false;
    wchar_t buffer[MAX_PATH * 2];
    DWORD size = ARRAYSIZE(buffer);
    if (!::QueryFullProcessImageNameW(process.Get(), 0, buffer, &size)) return false;
    path.assign(buffer, size);
    return true;
}

}  // namespace

bool GetProcessList(std::vector<CProcessEntry>& processes) {
    processes.clear();
    CFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    try {
        for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more;
             more = ::Process32NextW(snapshot.Get(), &entry)) {
            CProcessEntry process;
            process.processId = entry.th32ProcessID;
            if (!FullImagePath(entry.th32ProcessID, process.imagePath)) process.imagePath = entry.szExeFile;
            processes.push_back(std::move(process));
        }
    } catch (const std::bad_alloc&) {
        processes.clear();
        return false;
    }
    return !processes.empty();
}

}  // namespace qlLib
