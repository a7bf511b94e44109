#include "state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cardsim {

namespace {

std::string describe(const std::string& what, int err) { return what + ": " + strerror(err); }

// mkdir -p
bool make_dirs(const std::string& dir)
{
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool write_all(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

// Writes a whole file through a temporary beside it, so readers never see half of it.
bool replace_file(const std::string& path, const void* data, size_t size)
{
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, data, size);
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        errno = e;
        return false;
    }
    return true;
}

bool parse_registers(const std::string& text, SavedRegisters& out)
{
    SavedRegisters r;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return false;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        unsigned addr = 0, value = 0;
        char tail;
        if (line.size() != 15 || sscanf(line.c_str(), "0x%2x 0x%8x%c", &addr, &value, &tail) != 2)
            return false;
        if (addr == 0x48 && !r.has48) {
            r.has48 = true;
            r.r48 = value;
        } else if (addr == 0x4c && !r.has4c) {
            r.has4c = true;
            r.r4c = value;
        } else {
            return false;
        }
    }
    out = r;
    return true;
}

std::string format_registers(const SavedRegisters& r)
{
    std::string text;
    char line[32];
    if (r.has48) {
        snprintf(line, sizeof line, "0x48 0x%08x\n", r.r48);
        text += line;
    }
    if (r.has4c) {
        snprintf(line, sizeof line, "0x4c 0x%08x\n", r.r4c);
        text += line;
    }
    return text;
}

bool read_text(const std::string& path, std::string& out)
{
    // Non-blocking, so that a FIFO in the folder cannot hang the program.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    int e = 0;
    if (fstat(fd, &st) != 0)
        e = errno;
    else if (!S_ISREG(st.st_mode))
        e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (e) {
        close(fd);
        errno = e;
        return false;
    }
    FILE* f = fdopen(fd, "rb");
    if (!f) {
        e = errno;
        close(fd);
        errno = e;
        return false;
    }
    char buf[512];
    size_t n;
    out.clear();
    while ((n = fread(buf, 1, sizeof buf, f)) > 0 && out.size() < 4096)
        out.append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

}  // namespace

void factory_eeprom(const unsigned char mac[6], unsigned char out[kEepromSize])
{
    memset(out, 0, kEepromSize);
    memcpy(out + 8, mac, 6);
    out[18] = 0x60;
    out[20] = 1;
}

State::~State()
{
    if (eeprom_fd_ >= 0)
        close(eeprom_fd_);
    if (lock_fd_ >= 0)
        close(lock_fd_);
    if (flash_)
        munmap(flash_, kFlashSize);
}

void State::forget_descriptors()
{
    // The descriptors stay open in the child (closing a shared flock would be harmless,
    // but an fd number may be reused by the program); just stop using them.
    eeprom_fd_ = -1;
    lock_fd_ = -1;
}

std::string State::check() const
{
    struct stat st;
    if (stat(dir_.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return "";
        return describe("cannot reach the state folder " + dir_, errno);
    }
    if (!S_ISDIR(st.st_mode))
        return "the state folder " + dir_ + " is not a folder";
    std::string eeprom = path("eeprom");
    if (stat(eeprom.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return "corrupt state: " + eeprom + " is not a file (remove it or run cardsim --reset to make a new card)";
        if (st.st_size != kEepromSize)
            return "corrupt state: " + eeprom + " has " + std::to_string((long long)st.st_size) +
                   " bytes, not 256 (remove the folder or run cardsim --reset to make a new card)";
        if (access(eeprom.c_str(), R_OK | W_OK) != 0)
            return describe("cannot read and write " + eeprom, errno);
    } else if (errno != ENOENT) {
        return describe("cannot reach " + eeprom, errno);
    }
    std::string flash = path("flash");
    if (stat(flash.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return "corrupt state: " + flash + " is not a file (remove it or run cardsim --reset to make a new card)";
        if (st.st_size != kFlashSize)
            return "corrupt state: " + flash + " has " + std::to_string((long long)st.st_size) +
                   " bytes, not 4194304 (4 MiB) (run cardsim --reset to make a new card)";
    } else if (errno != ENOENT) {
        return describe("cannot reach " + flash, errno);
    }
    SavedRegisters r;
    return load_registers(r);
}

std::string State::write_factory_eeprom(const unsigned char mac[6]) const
{
    unsigned char image[kEepromSize];
    factory_eeprom(mac, image);
    if (!replace_file(path("eeprom"), image, sizeof image))
        return describe("cannot write " + path("eeprom"), errno);
    return "";
}

int State::lock_card(int how) const
{
    int fd = open(path("eeprom.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    while (flock(fd, how) != 0) {
        if (errno != EINTR) {
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
    }
    return fd;
}

std::string State::prepare(const unsigned char mac[6])
{
    std::string err = check();
    if (!err.empty())
        return err;
    if (!make_dirs(dir_))
        return describe("cannot create the state folder " + dir_, errno);
    int lock = lock_card(LOCK_EX);
    if (lock < 0)
        return describe("cannot lock " + path("eeprom.lock"), errno);
    struct stat st;
    if (stat(path("eeprom").c_str(), &st) != 0)
        err = write_factory_eeprom(mac);
    close(lock);
    return err;
}

std::string State::reset(const unsigned char mac[6])
{
    if (!make_dirs(dir_))
        return describe("cannot create the state folder " + dir_, errno);
    int lock = lock_card(LOCK_EX);
    if (lock < 0)
        return describe("cannot lock " + path("eeprom.lock"), errno);
    std::string err = write_factory_eeprom(mac);
    for (const char* name : {"flash", "registers"}) {
        if (err.empty() && unlink(path(name).c_str()) != 0 && errno != ENOENT)
            err = describe("cannot remove " + path(name), errno);
    }
    close(lock);
    return err;
}

bool State::open_eeprom()
{
    if (lock_fd_ < 0) {
        lock_fd_ = open(path("eeprom.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lock_fd_ < 0)
            return false;
    }
    if (eeprom_fd_ < 0) {
        eeprom_fd_ = open(path("eeprom").c_str(), O_RDWR | O_CLOEXEC);
        if (eeprom_fd_ < 0)
            return false;
        struct stat st;
        if (fstat(eeprom_fd_, &st) != 0 || st.st_size != kEepromSize) {
            close(eeprom_fd_);
            eeprom_fd_ = -1;
            errno = EIO;
            return false;
        }
    }
    return true;
}

bool State::eeprom_read(unsigned addr, unsigned n, unsigned char* out)
{
    if (!open_eeprom())
        return false;
    while (flock(lock_fd_, LOCK_SH) != 0)
        if (errno != EINTR)
            return false;
    unsigned char image[kEepromSize];
    bool ok = pread(eeprom_fd_, image, sizeof image, 0) == kEepromSize;
    flock(lock_fd_, LOCK_UN);
    if (!ok) {
        errno = EIO;
        return false;
    }
    for (unsigned k = 0; k < n; ++k)
        out[k] = image[(addr + k) % kEepromSize];
    return true;
}

bool State::eeprom_write(unsigned addr, unsigned n, const unsigned char* in)
{
    if (!open_eeprom())
        return false;
    while (flock(lock_fd_, LOCK_EX) != 0)
        if (errno != EINTR)
            return false;
    // Addresses wrap at the end, so a write is at most two runs.
    addr %= kEepromSize;
    unsigned first = n < kEepromSize - addr ? n : kEepromSize - addr;
    bool ok = pwrite(eeprom_fd_, in, first, addr) == ssize_t(first);
    if (ok && first < n)
        ok = pwrite(eeprom_fd_, in + first, n - first, 0) == ssize_t(n - first);
    flock(lock_fd_, LOCK_UN);
    if (!ok)
        errno = EIO;
    return ok;
}

std::string State::load_registers(SavedRegisters& out) const
{
    std::string text;
    std::string file = path("registers");
    if (!read_text(file, text)) {
        if (errno == ENOENT) {
            out = SavedRegisters();
            return "";
        }
        return describe("cannot read " + file, errno);
    }
    if (!parse_registers(text, out))
        return "corrupt state: " + file +
               " is not lines of \"0x48 0x%08x\" and \"0x4c 0x%08x\" (run cardsim --reset to make a new card)";
    return "";
}

bool State::save_register(unsigned addr, uint32_t value)
{
    int lock = lock_card(LOCK_EX);
    if (lock < 0)
        return false;
    SavedRegisters r;
    load_registers(r);  // a corrupt file is replaced by what this write knows
    if (addr == 0x48) {
        r.has48 = true;
        r.r48 = value;
    } else {
        r.has4c = true;
        r.r4c = value;
    }
    std::string text = format_registers(r);
    bool ok = replace_file(path("registers"), text.data(), text.size());
    close(lock);
    return ok;
}

unsigned char* State::flash(std::string& err)
{
    if (flash_)
        return flash_;
    std::string file = path("flash");
    int lock = lock_card(LOCK_EX);
    if (lock < 0) {
        err = describe("cannot lock " + path("eeprom.lock"), errno);
        return nullptr;
    }
    int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        // Created erased, as a new chip comes.
        std::string tmp = file + ".tmp." + std::to_string(getpid());
        int t = open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        bool ok = t >= 0;
        if (ok) {
            static unsigned char erased[65536];
            memset(erased, 0xff, sizeof erased);
            for (uint32_t done = 0; ok && done < kFlashSize; done += sizeof erased)
                ok = write_all(t, erased, sizeof erased);
            ok = close(t) == 0 && ok;
        }
        if (ok && rename(tmp.c_str(), file.c_str()) == 0) {
            fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
        } else {
            int e = errno;
            unlink(tmp.c_str());
            errno = e;
            fd = -1;
        }
    }
    close(lock);
    if (fd < 0) {
        err = describe("cannot open " + file, errno);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size != kFlashSize) {
        close(fd);
        err = "corrupt state: " + file + " is not 4194304 bytes (4 MiB)";
        return nullptr;
    }
    void* map = mmap(nullptr, kFlashSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int e = errno;
    close(fd);
    if (map == MAP_FAILED) {
        err = describe("cannot map " + file, e);
        return nullptr;
    }
    flash_ = static_cast<unsigned char*>(map);
    return flash_;
}

std::string State::node_lock_path(unsigned adapter, unsigned frontend) const
{
    return dir_ + "/adapter" + std::to_string(adapter) + "-frontend" + std::to_string(frontend) + ".lock";
}

}  // namespace cardsim
