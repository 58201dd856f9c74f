// tools/host_files.h - the command-line host's files: paths joined, directories made, whole writes,
// and a file replaced as the library places its images (a temporary name, then a rename).
#ifndef QV_TOOLS_HOST_FILES_H
#define QV_TOOLS_HOST_FILES_H
#include <cstddef>
#include <string>

// dir + "/" + name, without doubling a slash that dir ends with; name alone when dir is empty.
std::string host_join(const std::string &dir, const std::string &name);

// The last component of path, trailing slashes aside; "", "." and ".." (which name no file of
// their own) become "_".
std::string host_last_component(const std::string &path);

// Creates path and its missing parents. 0 when it is a directory afterwards, else -1 (errno set).
int host_mkdir_p(const std::string &path);

// Writes all n bytes to fd, going on after EINTR and short writes. 0, or -1 (errno set).
int host_write_all(int fd, const char *p, size_t n);

// Writes data as the file path: under a temporary name in the same directory (".NAME." and 16
// hexadecimal digits, created exclusively, never through a symbolic link), closed, then renamed to
// path, so path only ever holds the whole text; a file or link already there is replaced, never
// written through. 0, or -1 with why = "cannot write PATH: reason" and the temporary file removed.
int host_replace_file(const std::string &path, const std::string &data, std::string &why);

// A byte count as the host shows it: 686B, 12.3K, 4.1M, 2.0G.
std::string host_size_text(double bytes);

#endif
