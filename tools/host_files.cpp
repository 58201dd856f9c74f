// tools/host_files.cpp - paths, directories and whole files for the command-line host.
#include "host_files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

static const int max_temp_names = 16;  // names tried before giving up on EEXIST

std::string host_join(const std::string &dir, const std::string &name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string host_last_component(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    return name.empty() || name == "." || name == ".." ? "_" : name;
}

int host_mkdir_p(const std::string &path) {
    for (size_t i = 1; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return -1;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) return 0;
    errno = ENOTDIR;
    return -1;
}

int host_write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w == 0) errno = EIO;
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

// A temporary name beside path: DIR/.NAME.<16 hexadecimal digits>.
static std::string temp_name(const std::string &path) {
    uint64_t r = 0;
    if (getrandom(&r, sizeof r, 0) != (ssize_t)sizeof r)
        r = ((uint64_t)getpid() << 32) ^ (uint64_t)(uintptr_t)&r ^ (uint64_t)time(nullptr);
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", (unsigned long long)r);
    return dir + "." + leaf + "." + hex;
}

int host_replace_file(const std::string &path, const std::string &data, std::string &why) {
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < max_temp_names && fd < 0; attempt++) {
        tmp = temp_name(path);
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    int err = fd < 0 ? errno : 0;
    if (fd >= 0) {
        if (host_write_all(fd, data.data(), data.size()) != 0) err = errno;
        if (close(fd) != 0 && err == 0) err = errno;
        if (err == 0 && rename(tmp.c_str(), path.c_str()) != 0) err = errno;
        if (err != 0) unlink(tmp.c_str());
    }
    if (err == 0) return 0;
    why = "cannot write " + path + ": " + strerror(err);
    return -1;
}

std::string host_size_text(double bytes) {
    char buf[32];
    if (bytes < 1024) snprintf(buf, sizeof buf, "%.0fB", bytes);
    else if (bytes < 1024.0 * 1024) snprintf(buf, sizeof buf, "%.1fK", bytes / 1024);
    else if (bytes < 1024.0 * 1024 * 1024) snprintf(buf, sizeof buf, "%.1fM", bytes / (1024.0 * 1024));
    else snprintf(buf, sizeof buf, "%.1fG", bytes / (1024.0 * 1024 * 1024));
    return buf;
}
