#include "tools/ministub-build/ArchiveWriter.h"

#include <algorithm>
#include <memory>

#include "runtime/Crc32.h"
#include "runtime/Handles.h"
#include "runtime/StringUtils.h"
#include "tools/ministub-build/ArchiveHeader.h"
#include "tools/ministub-build/BlockSource.h"
#include "tools/ministub-build/LzmaStream.h"
#include "tools/ministub-build/SettingsText.h"

namespace builder {

namespace {

std::string SystemError(DWORD error) {
    return " (error " + std::to_string(error) + ")";
}

class COutFile {
public:
    bool Create(const std::wstring& path) {
        m_file.Reset(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
        return m_file.IsValid();
    }
    bool Write(const void* data, size_t size) {
        const BYTE* p = static_cast<const BYTE*>(data);
        while (size > 0) {
            DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size), written = 0;
            if (!::WriteFile(m_file.Get(), p, chunk, &written, nullptr) || written != chunk) return false;
            p += chunk;
            size -= chunk;
            m_position += chunk;
        }
        return true;
    }
    bool Write(const std::vector<BYTE>& bytes) { return Write(bytes.data(), bytes.size()); }
    bool WriteAtStart(const void* data, size_t size) {
        LARGE_INTEGER zero = {};
        DWORD written = 0;
        return ::SetFilePointerEx(m_file.Get(), zero, nullptr, FILE_BEGIN) &&
               ::WriteFile(m_file.Get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size;
    }
    bool Close() { return ::FlushFileBuffers(m_file.Get()) && (m_file.Reset(), true); }
    ULONGLONG Position() const { return m_position; }

private:
    qlLib::CFileHandle m_file;
    ULONGLONG m_position = 0;
};

// The LZMA coder's output, straight into the archive file.
struct CFileSink {
    ISeqOutStream vt;
    COutFile* file;

    static size_t Write(ISeqOutStreamPtr p, const void* data, size_t size) {
        const CFileSink* self = reinterpret_cast<const CFileSink*>(p);
        return self->file->Write(data, size) ? size : 0;
    }
};

// Files of one kind side by side compress better (7-Zip's tool, asked to sort by type, also
// groups by extension): by extension, then by name, then by path. Ordinal, so that no locale
// changes the order.
int CompareNoCase(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) -
           CSTR_EQUAL;
}

bool ComesFirst(const CArchiveItem* a, const CArchiveItem* b) {
    auto split = [](const std::wstring& path, std::wstring& name, std::wstring& extension) {
        const size_t slash = path.find_last_of(L"\\/");
        name = slash == std::wstring::npos ? path : path.substr(slash + 1);
        const size_t dot = name.rfind(L'.');
        extension = dot == std::wstring::npos ? std::wstring() : name.substr(dot + 1);
    };
    std::wstring nameA, extensionA, nameB, extensionB;
    split(a->name, nameA, extensionA);
    split(b->name, nameB, extensionB);
    if (int c = CompareNoCase(extensionA, extensionB)) return c < 0;
    if (int c = CompareNoCase(nameA, nameB)) return c < 0;
    if (int c = CompareNoCase(a->name, b->name)) return c < 0;
    return a->name < b->name;
}

// Compresses one block into the archive: the main stream as its source thread makes it, then
// (for BCJ2) the range coder stream as it is and the call and jump streams.
bool WriteBlock(CArchiveBlock& block, COutFile& out, int level, int threads, CProgressCounter& progress,
                std::string& error) {
    CBlockSource source(block, level, progress);
    if (!source.Start(error)) return false;
    CFileSink sink{{&CFileSink::Write}, &out};
    const ULONGLONG start = out.Position();
    const bool coded = EncodeLzma(source.Stream(), &sink.vt, ELzmaStream::eData, level, threads, block.unpackSize,
                                  block.main, error);
    block.main.packed = out.Position() - start;
    if (!source.Finish(!coded, error) || !coded) return false;
    block.crcs = source.Crcs();
    if (block.crcs.size() != block.files.size()) return error = "a file of the block was not read to its end", false;
    if (!block.bcj2) return true;
    block.mainSize = source.MainSize();
    block.rcSize = source.RangeCoder().size();
    block.callSize = source.CallSize();
    block.jumpSize = source.JumpSize();
    block.call = source.Call();
    block.jump = source.Jump();
    if (block.mainSize + block.callSize + block.jumpSize != block.unpackSize) {
        return error = "the branch converter lost bytes", false;
    }
    if (!out.Write(source.RangeCoder()) || !out.Write(source.PackedCall()) || !out.Write(source.PackedJump())) {
        return error = "cannot write the archive" + SystemError(::GetLastError()), false;
    }
    return true;
}

}  // namespace

bool IsExecutableName(const std::wstring& name) {
    static const wchar_t* const kExtensions[] = {L".exe", L".dll", L".sys", L".ocx", L".cpl", L".scr", L".drv", L".efi"};
    const size_t dot = name.find_last_of(L".\\/");
    if (dot == std::wstring::npos || name[dot] != L'.') return false;
    for (const wchar_t* extension : kExtensions) {
        if (qlLib::EqualsNoCase(name.c_str() + dot, extension)) return true;
    }
    return false;
}

bool CArchiveWriter::Write(const std::vector<CArchiveItem>& items, const std::wstring& path, CArchiveStats& stats,
                           std::string& error) {
    try {
        stats = CArchiveStats();
        std::vector<const CArchiveItem*> order;
        std::vector<CArchiveBlock> blocks(2);
        blocks[0].bcj2 = true;
        for (const CArchiveItem& item : items) {
            if (item.folder) {
                ++stats.folders;
            } else {
                ++stats.files;
                stats.sourceBytes += item.size;
            }
            if (item.folder || item.size == 0) {
                order.push_back(&item);
                continue;
            }
            CArchiveBlock& block = blocks[IsExecutableName(item.name) ? 0 : 1];
            block.files.push_back(&item);
            block.unpackSize += item.size;
        }
        stats.executables = static_cast<DWORD>(blocks[0].files.size());
        blocks.erase(std::remove_if(blocks.begin(), blocks.end(), [](const CArchiveBlock& b) { return b.files.empty(); }),
                     blocks.end());
        for (CArchiveBlock& b : blocks) {
            std::stable_sort(b.files.begin(), b.files.end(), ComesFirst);
            order.insert(order.end(), b.files.begin(), b.files.end());
        }

        COutFile out;
        if (!out.Create(path)) return error = "cannot create " + WideToUtf8(path) + SystemError(::GetLastError()), false;
        BYTE signature[kSignatureHeaderSize] = {};
        if (!out.Write(signature, sizeof signature)) return error = "cannot write " + WideToUtf8(path), false;

        CProgressCounter progress(m_progress, stats.sourceBytes);
        for (CArchiveBlock& block : blocks) {
            if (!WriteBlock(block, out, m_level, m_threads, progress, error)) return false;
        }

        // The header, compressed as 7-Zip's tool stores it, unless that does not make it smaller.
        std::vector<BYTE> header = ArchiveHeaderBytes(blocks, order);
        const DWORD headerCrc = qlLib::Crc32(header.data(), header.size());
        CCodedStream coded;
        std::vector<BYTE> packed;
        if (!EncodeLzmaBytes(header, ELzmaStream::eHeader, m_level, coded, packed, error)) return false;
        std::vector<BYTE> encoded = EncodedHeaderBytes(out.Position() - sizeof signature, coded, header.size(), headerCrc);
        if (packed.size() + encoded.size() < header.size()) {
            if (!out.Write(packed)) return error = "cannot write " + WideToUtf8(path), false;
            header.swap(encoded);
        }
        const ULONGLONG headerOffset = out.Position() - sizeof signature;
        if (!out.Write(header)) return error = "cannot write " + WideToUtf8(path), false;

        SignatureHeader(headerOffset, header, signature);
        stats.archiveBytes = out.Position();
        if (!out.WriteAtStart(signature, sizeof signature) || !out.Close()) {
            return error = "cannot write " + WideToUtf8(path) + SystemError(::GetLastError()), false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return false;
    }
}

}  // namespace builder
