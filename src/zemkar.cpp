// zemkar: one Intel HEX text holding two program images in, one firmware
// image file out, headed (the default) or raw (an option whose second
// character is 'r').
#include "hexread.hpp"
#include "imageheader.hpp"

#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

// Every failure ends here: one message on standard output, no line end, exit status 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::exit(1);
}

bool isRegularFile(std::FILE* file)
{
    struct stat status {};
    return fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
}

// Binary mode, so every platform sees the same bytes: no line-end translation,
// no end of file at a Ctrl-Z.
std::FILE* openInput(const char* name)
{
    std::FILE* in = std::fopen(name, "rb");
    struct stat status {};
    if (!in || fstat(fileno(in), &status) != 0 || S_ISDIR(status.st_mode))
        fail("Can not open %s", name);
    return in;
}

// Reads the stream to its end. A file's size is only a first guess at the
// room needed: a pipe has none, and a file may change while it is read. The
// bytes actually read are the input.
char* readText(std::FILE* in, const char* name, std::size_t& length)
{
    struct stat status {};
    std::size_t capacity = 64 * 1024;
    if (fstat(fileno(in), &status) == 0 && S_ISREG(status.st_mode) &&
        static_cast<std::uintmax_t>(status.st_size) >= capacity)
        capacity = static_cast<std::size_t>(status.st_size) + 1; // room to see the end in one read
    char* text = static_cast<char*>(std::malloc(capacity));
    length = 0;
    for (;;) {
        if (!text)
            fail("Out of memory");
        const std::size_t room = capacity - length;
        const std::size_t got = std::fread(text + length, 1, room, in);
        length += got;
        if (got < room)
            break;
        if (capacity > SIZE_MAX / 2)
            fail("Out of memory");
        capacity *= 2;
        char* grown = static_cast<char*>(std::realloc(text, capacity));
        if (!grown)
            std::free(text);
        text = grown;
    }
    if (std::ferror(in))
        fail("Can not read %s", name);
    std::fclose(in);
    return text;
}

// The output is created only now, with the image complete, so a rejected input
// never touches an existing file. A failed write removes what it left, unless
// the output is no file of ours to remove (a device, a pipe).
void writeImage(const char* name, const std::uint8_t* bytes, std::size_t size)
{
#ifdef SIGXFSZ
    // Past a file-size limit the write fails and is reported, instead of the
    // signal ending the run with a partial file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    std::FILE* out = std::fopen(name, "wb");
    if (!out)
        fail("Can not create %s", name);
    const bool regular = isRegularFile(out);
    bool written = std::fwrite(bytes, 1, size, out) == size;
    written = std::fclose(out) == 0 && written;
    if (!written) {
        if (regular)
            std::remove(name);
        fail("Can not write %s", name);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        fail("zemkar [-opt] [input_file_name] [output_file_name]");
    const char* option = argv[1];
    const char* inputName = argv[2];
    const char* outputName = argv[3];

    auto* buffer = static_cast<std::uint8_t*>(std::malloc(headerSize + imageCapacity));
    if (!buffer)
        fail("Out of memory");

    std::size_t textLength = 0;
    char* text = readText(openInput(inputName), inputName, textLength);

    char fault[faultMessageSize];
    const std::uint32_t imageLength = assembleImage(text, textLength, buffer + headerSize, fault);
    if (imageLength == 0)
        fail("%s", fault);
    buildHeader(buffer, imageLength);

    const bool raw = option[0] != '\0' && option[1] == 'r';
    if (raw)
        writeImage(outputName, buffer + headerSize, imageLength);
    else
        writeImage(outputName, buffer, headerSize + imageLength);

    std::free(text);
    std::free(buffer);
    return 0;
}
