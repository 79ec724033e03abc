#include "files.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#endif

namespace {

// The output is opened for writing and created where missing, never emptied
// on opening (see writeImage). Windows must be told binary mode, or it would
// write every 0x0A of the image as 0x0D 0x0A.
#ifdef _WIN32
constexpr int writeMode = O_WRONLY | O_CREAT | O_BINARY;
constexpr int newFileMode = S_IREAD | S_IWRITE;
#else
constexpr int writeMode = O_WRONLY | O_CREAT;
constexpr mode_t newFileMode = 0666; // less the umask, as for any new file
#endif

// What is known of the file behind a descriptor: nothing (all zero) if fstat fails.
struct stat statusOf(int file)
{
    struct stat status {};
    fstat(file, &status);
    return status;
}

} // namespace

// Binary mode, so every platform sees the same bytes: no line-end translation,
// no end of file at a Ctrl-Z. `size` gets the input's size where it is a
// regular file, or -1 where it can only be known by reading it (a pipe).
std::FILE* openInput(const char* name, off_t& size)
{
    std::FILE* in = std::fopen(name, "rb");
    if (!in)
        fail("Can not open %s", name);
    const struct stat status = statusOf(fileno(in));
    if (S_ISDIR(status.st_mode))
        fail("Can not open %s", name);
    size = S_ISREG(status.st_mode) ? status.st_size : -1;
    return in;
}

// An output that is the input itself, by name, hard link or symbolic link,
// would lose the input to the image: it is refused before anything is read
// or written. Only a regular file can be both; a device or a pipe is
// written as ever. Windows names a file by its volume and index (its stat
// has no inode numbers).
void refuseInputAsOutput(std::FILE* in, const char* outputName)
{
#ifdef _WIN32
    const HANDLE input = reinterpret_cast<HANDLE>(_get_osfhandle(fileno(in)));
    const HANDLE output = CreateFileA(outputName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (output == INVALID_HANDLE_VALUE)
        return;
    BY_HANDLE_FILE_INFORMATION inputFile, outputFile;
    const bool same = GetFileType(input) == FILE_TYPE_DISK && GetFileType(output) == FILE_TYPE_DISK &&
                      GetFileInformationByHandle(input, &inputFile) && GetFileInformationByHandle(output, &outputFile) &&
                      inputFile.dwVolumeSerialNumber == outputFile.dwVolumeSerialNumber &&
                      inputFile.nFileIndexHigh == outputFile.nFileIndexHigh &&
                      inputFile.nFileIndexLow == outputFile.nFileIndexLow;
    CloseHandle(output);
#else
    const struct stat input = statusOf(fileno(in));
    struct stat output {};
    const bool same = S_ISREG(input.st_mode) && stat(outputName, &output) == 0 && S_ISREG(output.st_mode) &&
                      input.st_dev == output.st_dev && input.st_ino == output.st_ino;
#endif
    if (same)
        fail("Output %s is the input", outputName);
}

// An output that holds Intel HEX text is a source file given in the wrong
// place (two inputs typed and the output forgotten): it is not written over.
// Only a regular file is read, as far as its first characters: a pipe, a
// FIFO or a device is written as ever, and never opened here.
void refuseHexOutput(const char* name)
{
    struct stat status {};
    if (stat(name, &status) != 0 || !S_ISREG(status.st_mode))
        return;
#ifdef O_NONBLOCK
    const int file = open(name, O_RDONLY | O_NONBLOCK);
#else
    const int file = open(name, O_RDONLY | O_BINARY);
#endif
    if (file < 0)
        return;
    char opening[4096] = {};
    const auto got = S_ISREG(statusOf(file).st_mode) ? read(file, opening, sizeof opening) : 0;
    close(file);
    const char* at = opening;
    const char* const end = opening + std::max<decltype(got)>(got, 0);
    if (end - at >= 3 && std::memcmp(at, "\xEF\xBB\xBF", 3) == 0)
        at += 3;
    while (at != end && (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n'))
        ++at;
    const auto isHexDigit = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (end - at >= 3 && at[0] == ':' && isHexDigit(at[1]) && isHexDigit(at[2]))
        fail("Will not write over %s: it holds Intel HEX text", name);
}

// The output is opened only now, with the image complete, so a rejected input
// never touches an existing file. An existing file is written over and then
// cut to the image's length, not emptied first: rebuilding an image, as a build
// does again and again, then rewrites the file's blocks where emptying it would
// free them all and allocate them anew. A failed write removes what it left,
// unless the output is no file of ours to remove (a device, a pipe).
void writeImage(const char* name, const std::uint8_t* bytes, std::size_t size)
{
#ifdef SIGXFSZ
    // Past a file-size limit the write fails and is reported, instead of the
    // signal ending the run with a partial file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    const int out = open(name, writeMode, newFileMode);
    if (out < 0)
        fail("Can not create %s: %s", name, std::strerror(errno));
    const bool regular = S_ISREG(statusOf(out).st_mode);
    // The reason of the first call that fails; a write that writes nothing
    // gives none, and counts as the device's failure.
    int error = 0;
    std::size_t written = 0;
    while (written < size) {
        // An image and its header fit the count that every platform's write takes.
        const auto step = write(out, bytes + written, static_cast<unsigned>(size - written));
        if (step <= 0) {
            error = step < 0 ? errno : EIO;
            break;
        }
        written += static_cast<std::size_t>(step);
    }
    if (!error && regular && ftruncate(out, static_cast<off_t>(size)) != 0)
        error = errno;
    if (close(out) != 0 && !error)
        error = errno;
    if (error) {
        if (regular)
            std::remove(name);
        fail("Can not write %s: %s", name, std::strerror(error));
    }
}
