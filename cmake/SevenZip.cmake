# 7-Zip's extract-only 7z reader (7z format; LZMA, LZMA2, copy; the delta filter and the branch
# converters of every processor 7-Zip knows; CRC), built from the Debian source package that
# scripts/bootstrap.sh unpacks into .deps/. The file set is the one of 7-Zip's own extract-only 7z
# bundle without its DLL entry points, its archive-format registry (we create the 7z handler
# directly) and the byte-swap filter. 7-Zip's own tool picks delta or a branch converter by a
# file's content (a WAV file, an ARM64 or RISC-V program) even with its default settings, so a
# reader without them fails on ordinary archives. The codecs find each other through their
# registry; an archive that names a missing coder (PPMd, BZip2, encryption) fails as an
# unsupported method.
#
# Two flavours of the same reader, one interface:
# - `sevenzip_stub`, what the stub carries: 7-Zip's self-extractor configuration, which drops the
#   handler's property setting and listing (method names, block numbers, packed sizes), the
#   single-threaded coder mixer (the multithreaded one is what extracts) and the coders' pull
#   interface that only the single-threaded mixer uses.
# - `sevenzip`, the whole extract-only handler, for the builder (it names the methods of archives
#   it refuses) and the tests.
# Both decode the same coders and filters with the same decoder code. Nothing outside the library
# sees the handler's class (its layout differs between the flavours): SevenZipReader.h creates it.
#
# Link the reader with SEVENZIP_LINK_ITEM: it picks the stub's flavour for a program whose
# property MINISTUB_STUB_READER is set and the whole one for every other program, and links it
# whole: the codecs and the CRC tables register themselves from static constructors nobody
# references, so a plain archive link would drop them and every archive would then look like
# "not an archive".

file(GLOB _sevenzip_roots LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/.deps/7zip-*)
set(SEVENZIP_ROOT "")
foreach(_root IN LISTS _sevenzip_roots)
  if(IS_DIRECTORY ${_root}/CPP/7zip/Archive/7z)
    set(SEVENZIP_ROOT ${_root})
  endif()
endforeach()
if(NOT SEVENZIP_ROOT)
  message(FATAL_ERROR "7-Zip sources not found under ${CMAKE_SOURCE_DIR}/.deps: run scripts/bootstrap.sh")
endif()

set(_cpp ${SEVENZIP_ROOT}/CPP)
set(_c ${SEVENZIP_ROOT}/C)

set(_sevenzip_cpp_sources
  ${_cpp}/Common/CRC.cpp
  ${_cpp}/Common/CrcReg.cpp
  ${_cpp}/Common/IntToString.cpp
  ${_cpp}/Common/NewHandler.cpp
  ${_cpp}/Common/MyString.cpp
  ${_cpp}/Common/StringConvert.cpp
  ${_cpp}/Common/StringToInt.cpp
  ${_cpp}/Common/MyVector.cpp
  ${_cpp}/Common/Wildcard.cpp
  ${_cpp}/Windows/PropVariant.cpp
  ${_cpp}/Windows/Synchronization.cpp
  ${_cpp}/Windows/System.cpp
  ${_cpp}/7zip/Common/CreateCoder.cpp
  ${_cpp}/7zip/Common/CWrappers.cpp
  ${_cpp}/7zip/Common/InBuffer.cpp
  ${_cpp}/7zip/Common/FilterCoder.cpp
  ${_cpp}/7zip/Common/LimitedStreams.cpp
  ${_cpp}/7zip/Common/OutBuffer.cpp
  ${_cpp}/7zip/Common/ProgressUtils.cpp
  ${_cpp}/7zip/Common/PropId.cpp
  ${_cpp}/7zip/Common/StreamBinder.cpp
  ${_cpp}/7zip/Common/StreamObjects.cpp
  ${_cpp}/7zip/Common/StreamUtils.cpp
  ${_cpp}/7zip/Common/VirtThread.cpp
  ${_cpp}/7zip/Archive/Common/CoderMixer2.cpp
  ${_cpp}/7zip/Archive/Common/ItemNameUtils.cpp
  ${_cpp}/7zip/Archive/Common/OutStreamWithCRC.cpp
  ${_cpp}/7zip/Archive/7z/7zDecode.cpp
  ${_cpp}/7zip/Archive/7z/7zExtract.cpp
  ${_cpp}/7zip/Archive/7z/7zHandler.cpp
  ${_cpp}/7zip/Archive/7z/7zHeader.cpp
  ${_cpp}/7zip/Archive/7z/7zIn.cpp
  # The delta and branch filters' wrappers: one call per buffer; their loops are in C below.
  ${_cpp}/7zip/Compress/BranchMisc.cpp
  ${_cpp}/7zip/Compress/BranchRegister.cpp
  ${_cpp}/7zip/Compress/DeltaFilter.cpp
)
# The coders' C++ wrappers hand whole buffers to the C loops below: built like the rest, for
# size, and inside the stub's link-time optimisation, which keeps only the members that are
# called. (Outside it, the unwind tables of an object would keep every function of that object.)
set(_sevenzip_coder_sources
  ${_cpp}/7zip/Compress/CodecExports.cpp
  ${_cpp}/7zip/Compress/Bcj2Coder.cpp
  ${_cpp}/7zip/Compress/Bcj2Register.cpp
  ${_cpp}/7zip/Compress/BcjCoder.cpp
  ${_cpp}/7zip/Compress/BcjRegister.cpp
  ${_cpp}/7zip/Compress/CopyCoder.cpp
  ${_cpp}/7zip/Compress/CopyRegister.cpp
  ${_cpp}/7zip/Compress/Lzma2Decoder.cpp
  ${_cpp}/7zip/Compress/Lzma2Register.cpp
  ${_cpp}/7zip/Compress/LzmaDecoder.cpp
  ${_cpp}/7zip/Compress/LzmaRegister.cpp
)
# The decoders proper: the hot loops, built for speed, outside the link-time optimisation: they
# stay the code they are today. The same in both flavours, built once.
add_library(sevenzip_c OBJECT
  ${_c}/7zCrc.c
  ${_c}/7zCrcOpt.c
  ${_c}/7zStream.c
  ${_c}/Alloc.c
  ${_c}/Bcj2.c
  ${_c}/Bra.c
  ${_c}/Bra86.c
  ${_c}/BraIA64.c
  ${_c}/CpuArch.c
  ${_c}/Delta.c
  ${_c}/Lzma2Dec.c
  ${_c}/Lzma2DecMt.c
  ${_c}/LzmaDec.c
  ${_c}/MtDec.c
  ${_c}/Threads.c
)
# Not our code: its warnings are its maintainers' business, and must not break -Werror builds.
target_compile_options(sevenzip_c PRIVATE -w -O2 -fno-lto)
# Except the parts no byte passes through: the threads that hand whole LZMA2 blocks to the
# decoder, the allocators, the stream helpers and the processor detection run once per block or
# once per archive. Built for size they are 5 KB smaller, at no cost in extraction speed.
set_source_files_properties(${_c}/7zStream.c ${_c}/Alloc.c ${_c}/CpuArch.c ${_c}/Lzma2DecMt.c ${_c}/MtDec.c
                            ${_c}/Threads.c TARGET_DIRECTORY sevenzip_c PROPERTIES COMPILE_OPTIONS "-Os")
# With data sections, mingw's GCC stores a zero-filled global in the file; the CRC tables alone
# would be 12 KB of zeros in the image.
set_source_files_properties(${_c}/7zCrc.c TARGET_DIRECTORY sevenzip_c PROPERTIES COMPILE_OPTIONS "-fno-data-sections")

# The whole extract-only handler, and the self-extractor's.
add_library(sevenzip STATIC ${_sevenzip_cpp_sources}
  ${_cpp}/7zip/Common/MethodId.cpp
  ${_cpp}/7zip/Common/MethodProps.cpp
  ${_cpp}/7zip/Archive/Common/HandlerOut.cpp
  ${_cpp}/7zip/Archive/Common/ParseProperties.cpp
  ${_cpp}/7zip/Archive/7z/7zCompressionMode.cpp
  ${_cpp}/7zip/Archive/7z/7zProperties.cpp
)
add_library(sevenzip_stub STATIC ${_sevenzip_cpp_sources})
target_compile_definitions(sevenzip_stub PRIVATE Z7_SFX Z7_NO_READ_FROM_CODER Z7_NO_LARGE_PAGES Z7_NO_REGISTRY)
foreach(flavour sevenzip sevenzip_stub)
  target_sources(${flavour} PRIVATE ${_sevenzip_coder_sources} $<TARGET_OBJECTS:sevenzip_c>
                 ${CMAKE_CURRENT_LIST_DIR}/SevenZipReader.cpp)
  # No assembler decoder (Z7_LZMA_DEC_OPT stays undefined).
  target_compile_definitions(${flavour} PUBLIC Z7_EXTRACT_ONLY Z7_NO_CRYPTO)
  target_include_directories(${flavour} SYSTEM PUBLIC ${_cpp})
  # 7-Zip's headers need the OLE declarations that a lean windows.h leaves out.
  # (The project defines it for every folder; the compiler takes -U after the -D.)
  target_compile_options(${flavour} PRIVATE -UWIN32_LEAN_AND_MEAN -w)
  target_link_libraries(${flavour} PUBLIC ole32 oleaut32 uuid)
endforeach()

set(SEVENZIP_LINK_ITEM
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,$<IF:$<BOOL:$<TARGET_PROPERTY:MINISTUB_STUB_READER>>,sevenzip_stub,sevenzip>>")

# 7-Zip's LZMA and BCJ2 encoders (C), for the installer builder only: the stub never compresses.
# The shared C parts (allocators, threads, CPU detection) come from the reader library above.
add_library(sevenzip_encoder STATIC
  ${_c}/Bcj2Enc.c
  ${_c}/LzFind.c
  ${_c}/LzFindMt.c
  ${_c}/LzFindOpt.c
  ${_c}/LzmaEnc.c
)
target_include_directories(sevenzip_encoder SYSTEM PUBLIC ${_c})
target_compile_options(sevenzip_encoder PRIVATE -w -O2)
# 7-Zip reads little-endian fields in place on x86 on purpose (unaligned accesses are fast and
# defined there): the hardened flavour's decoder traps everything else. The encoder's match
# finders also shift negative offsets by design; it runs in the builder on the user's own files,
# so it is built without the traps.
if(MINISTUB_HARDENED)
  foreach(target sevenzip sevenzip_stub sevenzip_c)
    target_compile_options(${target} PRIVATE -fno-sanitize=alignment)
  endforeach()
  target_compile_options(sevenzip_encoder PRIVATE -fno-sanitize=undefined)
endif()
target_link_libraries(sevenzip_encoder PUBLIC ${SEVENZIP_LINK_ITEM})
