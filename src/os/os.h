// Operating system services: files, console, memory, strings and the break
// signal, as the rest of imgsmith sees them. Everything below sits on POSIX;
// no other part of the program calls the C library for these things.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

// An open file or console stream. Zero (nullptr) means "none".
struct os_file;

// Open modes.
constexpr int32_t MODE_OLDFILE = 1005;   // existing file, read and write
constexpr int32_t MODE_NEWFILE = 1006;   // create or truncate, read and write
constexpr int32_t MODE_READONLY = 1107;  // existing file, read only

constexpr int32_t OFFSET_BEGINNING = -1;

constexpr uint32_t SIGBREAKF_CTRL_C = 0x1000;

// Error codes reported by the program itself. Codes that come from the
// operating system are kept in a range of their own (see IoErr) so that
// they can never be taken for one of these.
constexpr int32_t ERROR_NO_FREE_STORE = 103;
constexpr int32_t ERROR_BREAK = 304;

constexpr int RETURN_OK = 0;
constexpr int RETURN_FAIL = 20;

// Tags for AllocVecTags.
constexpr uint32_t TAG_END = 0;
constexpr uint32_t AVT_ClearWithValue = 0x80000001u;

// Process-wide streams, set by the command front end and used for all
// output. They start out as standard output and standard error.
extern os_file* StdOut;
extern os_file* StdErr;

// Must run before the program's work: installs the break handler and makes
// a closed output pipe an ordinary write error instead of a fatal signal.
void StartUp();

os_file* Output();
os_file* ErrorOutput();

// Files. Positions and sizes are 64-bit; transfer lengths are 32-bit.
// Read and Write loop over partial transfers and interrupted calls, so a
// count short of the length means end of file (Read) or an error.
os_file* Open(const char* name, int32_t mode);
void Close(os_file* file);
int64_t Read(os_file* file, void* buffer, uint32_t length);
int64_t Write(os_file* file, const void* buffer, uint32_t length);
int32_t ChangeFilePosition(os_file* file, int64_t position, int32_t mode);
int32_t ChangeFileSize(os_file* file, int64_t size, int32_t mode);
int64_t GetFileSize(os_file* file);

// Makes everything written to the file so far durable. Nonzero on success.
int32_t SyncFile(os_file* file);
// From now on, data written to the file starts on its way to the disk at
// once, so that a later SyncFile has little left to wait for.
void WriteBehind(os_file* file);
// Nonzero for a regular file (not a device): bytes it was extended by with
// ChangeFileSize read as zeros.
int32_t IsRegularFile(os_file* file);
// Nonzero when [position, position + length) lies wholly in a hole of a
// sparse regular file, so it reads as zeros. Zero when unknown.
int32_t RangeIsHole(os_file* file, int64_t position, int64_t length);
// Nonzero when both names exist and lead to the same file.
int32_t SameFile(const char* name1, const char* name2);

int32_t IoErr();
void PrintFault(int32_t code, const char* header);

// Formatted output. Conversions: %s, %ld, %lu, %lx, %08lx, %02ld, %%.
// Every numeric argument is 32 bits wide; wider ones are refused when the
// program is compiled.
struct fmt_arg {
    const char* text;  // non-null for %s arguments
    uint32_t value;
};

inline fmt_arg to_fmt_arg(const char* text) { return {text ? text : "", 0}; }
inline fmt_arg to_fmt_arg(char* text) { return to_fmt_arg(static_cast<const char*>(text)); }
template <class T>
inline fmt_arg to_fmt_arg(T value) {
    static_assert(std::is_integral_v<T> && sizeof(T) <= 4,
                  "format arguments are 32-bit numbers or texts");
    return {nullptr, static_cast<uint32_t>(value)};
}

void VFPrintf(os_file* stream, const char* format, const fmt_arg* args, size_t count);

template <class... A>
void FPrintf(os_file* stream, const char* format, A... args) {
    const fmt_arg list[] = {to_fmt_arg(args)..., {nullptr, 0}};
    VFPrintf(stream, format, list, sizeof...(A));
}
template <class... A>
void Printf(const char* format, A... args) {
    FPrintf(Output(), format, args...);
}

void Flush(os_file* stream);

// Reads a signed decimal number after leading blanks and tabs. Returns the
// number of characters used, or -1 when no digit follows. Values beyond the
// 32-bit range saturate.
int32_t StrToLong(const char* text, int32_t* value);

// Nonzero if a break (Ctrl-C) arrived since the last check; clears it.
uint32_t CheckSignal(uint32_t mask);

// Memory.
void* AllocVecTags(uint32_t size, uint32_t tag, uint32_t value, uint32_t end);
void* AllocVecTagList(uint32_t size, const void* tags);
void FreeVec(void* memory);
void CopyMem(const void* source, void* destination, uint32_t size);
void ClearMem(void* memory, uint32_t size);

// Strings. Stricmp ignores ASCII letter case.
int32_t Stricmp(const char* a, const char* b);
uint32_t Strlcpy(char* destination, const char* source, uint32_t size);
