#include "os/os.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "os/hooks.h"

struct os_file {
    int fd;
    bool console;
    bool regular;
    bool write_behind;
    int64_t position;
    const char* name;  // as given to Open; not copied
};

namespace {

// Operating system errors are kept as errno + this base, above every code
// the program uses itself.
constexpr int32_t ERRNO_BASE = 100000;

os_file stdout_file{1, true, false, false, 0, "stdout"};
os_file stderr_file{2, true, false, false, 0, "stderr"};

int32_t last_error = 0;

// The one place where errno becomes an error code.
void set_error_from(int err) { last_error = ERRNO_BASE + err; }

volatile sig_atomic_t break_pending = 0;

void on_break(int) { break_pending = 1; }

// Test seam state.
struct fault {
    uint32_t remaining = 0;  // calls until the failing one; 0: none set
    int err = 0;
    bool sticky = false;
    bool tripped = false;
};
fault faults[CALL_KINDS];
uint32_t calls[CALL_KINDS];
uint32_t break_countdown = 0;
uint64_t alloc_limit = 0;
std::string read_only_file;
int open_files = 0;
int live_allocations = 0;
uint64_t largest_allocation = 0;
os_capture* capture = nullptr;
std::vector<os_change>* journal = nullptr;

// Counts the call and tells whether the test seam wants it to fail; if so
// the error is already set.
bool injected_failure(os_call kind) {
    ++calls[kind];
    fault& f = faults[kind];
    if (f.tripped && f.sticky) {
        set_error_from(f.err);
        return true;
    }
    if (f.remaining == 0) return false;
    if (--f.remaining != 0) return false;
    f.tripped = true;
    set_error_from(f.err);
    return true;
}

void record(os_change::kind_t kind, const os_file* file, int64_t position,
            const void* data, size_t length) {
    if (!journal) return;
    os_change change{kind, file->name, position, {}};
    if (data) change.data.assign(static_cast<const char*>(data), length);
    journal->push_back(std::move(change));
}

// Writes all of the text to a console stream, ignoring failures: a closed
// or full console must not stop a command that changes a user's files.
void emit(os_file* stream, const char* text, size_t length) {
    if (length == 0) return;
    if (capture) {
        (stream == &stderr_file ? capture->err : capture->out).append(text, length);
        capture->all.append(text, length);
        return;
    }
    while (length > 0) {
        ssize_t n = ::write(stream->fd, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        length -= static_cast<size_t>(n);
    }
}

// Standard output is buffered until Flush, until the buffer fills, or until
// anything is written to standard error, so both keep program order when
// they go to one place.
std::string out_buffer;
constexpr size_t OUT_BUFFER_LIMIT = 4096;

void flush_out() {
    emit(&stdout_file, out_buffer.data(), out_buffer.size());
    out_buffer.clear();
}

void put_text(os_file* stream, const char* text, size_t length) {
    if (stream == &stdout_file) {
        out_buffer.append(text, length);
        if (out_buffer.size() >= OUT_BUFFER_LIMIT) flush_out();
        return;
    }
    flush_out();
    emit(stream, text, length);
}

void append_number(std::string& out, uint32_t value, bool is_signed, int base,
                   unsigned width, bool zero_pad) {
    char digits[16];
    size_t n = 0;
    bool negative = is_signed && static_cast<int32_t>(value) < 0;
    // Negate in 32-bit unsigned arithmetic so INT32_MIN works.
    uint32_t magnitude = negative ? 0u - value : value;
    do {
        uint32_t d = magnitude % static_cast<uint32_t>(base);
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + (d - 10));
        magnitude /= static_cast<uint32_t>(base);
    } while (magnitude != 0);
    size_t used = n + (negative ? 1 : 0);
    size_t pad = width > used ? width - used : 0;
    if (negative && zero_pad) out += '-';
    out.append(pad, zero_pad ? '0' : ' ');
    if (negative && !zero_pad) out += '-';
    while (n > 0) out += digits[--n];
}

}  // namespace

os_file* StdOut = &stdout_file;
os_file* StdErr = &stderr_file;

void StartUp() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_break;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

os_file* Output() { return &stdout_file; }
os_file* ErrorOutput() { return &stderr_file; }

os_file* Open(const char* name, int32_t mode) {
    if (injected_failure(CALL_OPEN)) return nullptr;
    int flags = O_CLOEXEC;
    switch (mode) {
        case MODE_OLDFILE: flags |= O_RDWR; break;
        case MODE_NEWFILE: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
        case MODE_READONLY: flags |= O_RDONLY; break;
        default: set_error_from(EINVAL); return nullptr;
    }
    if (mode != MODE_READONLY && !read_only_file.empty() && read_only_file == name) {
        set_error_from(EROFS);
        return nullptr;
    }
    int fd;
    do {
        fd = ::open(name, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        set_error_from(errno);
        return nullptr;
    }
    struct stat st;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    auto* file = static_cast<os_file*>(std::malloc(sizeof(os_file)));
    if (!file) {
        ::close(fd);
        set_error_from(ENOMEM);
        return nullptr;
    }
    *file = os_file{fd, false, regular, false, 0, name};
    if (regular && mode == MODE_READONLY) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    ++open_files;
    return file;
}

void Close(os_file* file) {
    if (!file || file->console) return;
    ::close(file->fd);
    std::free(file);
    --open_files;
}

int64_t Read(os_file* file, void* buffer, uint32_t length) {
    if (injected_failure(CALL_READ)) return -1;
    auto* p = static_cast<char*>(buffer);
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(file->fd, p + done, length - done, file->position);
        if (n < 0) {
            if (errno == EINTR) continue;
            set_error_from(errno);
            return -1;
        }
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
        file->position += n;
    }
    return done;
}

int64_t Write(os_file* file, const void* buffer, uint32_t length) {
    if (injected_failure(CALL_WRITE)) return -1;
    const auto* p = static_cast<const char*>(buffer);
    int64_t start = file->position;
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(file->fd, p + done, length - done, file->position);
        if (n < 0) {
            if (errno == EINTR) continue;
            set_error_from(errno);
            record(os_change::WRITE, file, start, p, done);
            return -1;
        }
        if (n == 0) {  // no progress and no reason given: the device is full
            set_error_from(ENOSPC);
            record(os_change::WRITE, file, start, p, done);
            return -1;
        }
        done += static_cast<uint32_t>(n);
        file->position += n;
    }
    record(os_change::WRITE, file, start, p, done);
    if (file->write_behind) ::sync_file_range(file->fd, start, done, SYNC_FILE_RANGE_WRITE);
    return done;
}

void WriteBehind(os_file* file) { file->write_behind = true; }

int32_t ChangeFilePosition(os_file* file, int64_t position, int32_t mode) {
    if (injected_failure(CALL_SEEK)) return 0;
    if (mode != OFFSET_BEGINNING || position < 0) {
        set_error_from(EINVAL);
        return 0;
    }
    file->position = position;
    return 1;
}

int32_t ChangeFileSize(os_file* file, int64_t size, int32_t mode) {
    if (injected_failure(CALL_SETSIZE)) return 0;
    if (mode != OFFSET_BEGINNING || size < 0) {
        set_error_from(size < 0 ? EFBIG : EINVAL);
        return 0;
    }
    struct stat st;
    if (::fstat(file->fd, &st) != 0) {
        set_error_from(errno);
        return 0;
    }
    if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
        // A device keeps its length: it will do when it is long enough.
        // A character device cannot tell its length and is taken as it is.
        if (S_ISBLK(st.st_mode)) {
            off_t end = ::lseek(file->fd, 0, SEEK_END);
            if (end < 0) {
                set_error_from(errno);
                return 0;
            }
            if (end < size) {
                set_error_from(ENOSPC);
                return 0;
            }
        }
        return 1;
    }
    int rc;
    do {
        rc = ::ftruncate(file->fd, size);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        set_error_from(errno);
        return 0;
    }
    record(os_change::SET_SIZE, file, size, nullptr, 0);
    return 1;
}

int64_t GetFileSize(os_file* file) {
    if (injected_failure(CALL_GETSIZE)) return -1;
    struct stat st;
    if (::fstat(file->fd, &st) != 0) {
        set_error_from(errno);
        return -1;
    }
    if (S_ISREG(st.st_mode)) return st.st_size;
    // Devices report no size through fstat; their end tells it.
    off_t end = ::lseek(file->fd, 0, SEEK_END);
    if (end < 0) {
        set_error_from(errno);
        return -1;
    }
    return end;
}

int32_t SyncFile(os_file* file) {
    if (injected_failure(CALL_SYNC)) return 0;
    int rc;
    do {
        rc = ::fsync(file->fd);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        set_error_from(errno);
        return 0;
    }
    record(os_change::SYNC, file, 0, nullptr, 0);
    return 1;
}

int32_t IsRegularFile(os_file* file) { return file && file->regular ? 1 : 0; }

int32_t RangeIsHole(os_file* file, int64_t position, int64_t length) {
    if (!file->regular || length <= 0) return 0;
    off_t data = ::lseek(file->fd, position, SEEK_DATA);
    if (data < 0) {
        // No data at or after the position: a hole up to the end of file.
        if (errno != ENXIO) return 0;
        struct stat st;
        return ::fstat(file->fd, &st) == 0 && position + length <= st.st_size ? 1 : 0;
    }
    return data >= position + length ? 1 : 0;
}

int32_t SameFile(const char* name1, const char* name2) {
    struct stat a, b;
    if (::stat(name1, &a) != 0 || ::stat(name2, &b) != 0) return 0;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino ? 1 : 0;
}

int32_t IoErr() { return last_error; }

void PrintFault(int32_t code, const char* header) {
    std::string line = header ? header : "";
    line += ": ";
    if (code == ERROR_NO_FREE_STORE) {
        line += "not enough memory";
    } else if (code == ERROR_BREAK) {
        line += "interrupted";
    } else if (code >= ERRNO_BASE) {
        line += std::strerror(code - ERRNO_BASE);
    } else {
        line += "error " + std::to_string(code);
    }
    line += '\n';
    put_text(StdErr ? StdErr : &stderr_file, line.data(), line.size());
}

void VFPrintf(os_file* stream, const char* format, const fmt_arg* args, size_t count) {
    std::string out;
    size_t next = 0;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        bool zero_pad = false;
        unsigned width = 0;
        if (*p == '0') {
            zero_pad = true;
            ++p;
        }
        while (*p >= '0' && *p <= '9') width = width * 10 + static_cast<unsigned>(*p++ - '0');
        if (*p == 'l') ++p;
        char conversion = *p;
        if (conversion == '%') {
            out += '%';
            continue;
        }
        if ((conversion != 's' && conversion != 'd' && conversion != 'u' && conversion != 'x') ||
            next >= count) {
            // Not a conversion this layer knows, or no argument left: show it as it stands.
            out.append(start, static_cast<size_t>(p - start) + (conversion ? 1 : 0));
            if (!conversion) break;
            continue;
        }
        const fmt_arg& arg = args[next++];
        if (conversion == 's') {
            const char* text = arg.text ? arg.text : "";
            size_t length = std::strlen(text);
            if (width > length) out.append(width - length, ' ');
            out += text;
        } else {
            append_number(out, arg.value, conversion == 'd', conversion == 'x' ? 16 : 10, width,
                          zero_pad);
        }
    }
    put_text(stream, out.data(), out.size());
}

void Flush(os_file* stream) {
    if (stream == &stdout_file) flush_out();
}

int32_t StrToLong(const char* text, int32_t* value) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return -1;
    int64_t magnitude = 0;
    while (*p >= '0' && *p <= '9') {
        if (magnitude <= INT64_C(0x80000000)) magnitude = magnitude * 10 + (*p - '0');
        ++p;
    }
    int64_t v = negative ? -magnitude : magnitude;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    *value = static_cast<int32_t>(v);
    return static_cast<int32_t>(p - text);
}

uint32_t CheckSignal(uint32_t mask) {
    if (break_countdown != 0 && --break_countdown == 0) break_pending = 1;
    if (!(mask & SIGBREAKF_CTRL_C) || !break_pending) return 0;
    break_pending = 0;
    return SIGBREAKF_CTRL_C;
}

void* AllocVecTags(uint32_t size, uint32_t tag, uint32_t value, uint32_t end) {
    (void)end;
    if (size > largest_allocation) largest_allocation = size;
    if (injected_failure(CALL_ALLOC) || (alloc_limit != 0 && size > alloc_limit)) return nullptr;
    void* memory;
    if (tag == AVT_ClearWithValue && (value & 0xFF) == 0) {
        memory = std::calloc(size ? size : 1, 1);  // zero pages come cheap
    } else {
        memory = std::malloc(size ? size : 1);
        if (memory && tag == AVT_ClearWithValue) std::memset(memory, static_cast<int>(value & 0xFF), size);
    }
    if (memory) ++live_allocations;
    return memory;
}

void* AllocVecTagList(uint32_t size, const void* tags) {
    (void)tags;
    return AllocVecTags(size, TAG_END, 0, TAG_END);
}

void FreeVec(void* memory) {
    if (!memory) return;
    std::free(memory);
    --live_allocations;
}

void CopyMem(const void* source, void* destination, uint32_t size) {
    std::memmove(destination, source, size);
}

void ClearMem(void* memory, uint32_t size) { std::memset(memory, 0, size); }

int32_t Stricmp(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

uint32_t Strlcpy(char* destination, const char* source, uint32_t size) {
    uint32_t length = static_cast<uint32_t>(std::strlen(source));
    if (size > 0) {
        uint32_t n = length < size - 1 ? length : size - 1;
        std::memcpy(destination, source, n);
        destination[n] = '\0';
    }
    return length;
}

// Test seam.

void hook_fail_call(os_call kind, uint32_t nth, int err, bool sticky) {
    faults[kind] = fault{nth, err, sticky, false};
}

void hook_break_at_poll(uint32_t nth) { break_countdown = nth; }

void hook_alloc_limit(uint64_t bytes) { alloc_limit = bytes; }

void hook_read_only_file(const std::string& name) { read_only_file = name; }

uint32_t hook_calls(os_call kind) { return calls[kind]; }

int hook_open_files() { return open_files; }

int hook_live_allocations() { return live_allocations; }

uint64_t hook_largest_allocation() { return largest_allocation; }

void hook_capture(os_capture* c) {
    flush_out();
    capture = c;
}

void hook_journal(std::vector<os_change>* j) { journal = j; }

void hook_reset() {
    for (auto& f : faults) f = fault{};
    for (auto& c : calls) c = 0;
    break_countdown = 0;
    break_pending = 0;
    alloc_limit = 0;
    largest_allocation = 0;
    read_only_file.clear();
}
