// plugwatch-verify: checks the upgrade package on standard input against the
// key of the plug-in it runs for. plugwatch runs it in the plug-in's files
// directory, with the package's descriptor as standard input, when that
// directory holds "upgrade.pub"; the signature is the package's path (as the
// descriptor names it) with ".sig" added. Key and signature are taken only
// as the package is: regular files of root, of this user or of the files
// directory's owner, writable by no one else, with one link; never through a
// link. The package is verified over a read-only mapping of the descriptor,
// the very bytes the installer then reads. On success the signature is
// removed; on any refusal nothing is touched. Exit status: util/shared_texts.h.
#include "bootdata/upgrade.h"
#include "util/fd_util.h"
#include "util/shared_texts.h"
#include "util/unique_fd.h"
#include "verify/signify.h"

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A key or signature file: small, whole, trusted as a package would be.
bool read_trusted(const char* path, uint8_t* out, size_t size, struct stat* opened)
{
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat files;
    std::array<char, 64> why{};
    if (!fd || fstat(fd.get(), opened) != 0 || stat(".", &files) != 0 ||
        package_refusal(*opened, geteuid(), files.st_uid, why.data(), why.size()) != 0)
        return false;
    std::array<char, 512> text{};
    ssize_t got = read_retry(fd.get(), text.data(), text.size());
    return got > 0 && static_cast<size_t>(got) < text.size() &&
           decode_signify(text.data(), static_cast<size_t>(got), out, size);
}

// The signature's path: the package's own, as its descriptor names it.
bool signature_path(char* out, size_t size)
{
    std::array<char, PATH_MAX> package{};
    ssize_t n = readlink("/proc/self/fd/0", package.data(), package.size() - 1);
    if (n <= 0 || package[0] != '/')
        return false;
    int m = std::snprintf(out, size, "%s%s", package.data(), SIGNATURE_SUFFIX);
    return m > 0 && static_cast<size_t>(m) < size;
}

// Ed25519 over every byte of the package, mapped read-only.
bool package_verifies(const uint8_t* signature, const uint8_t* key)
{
    struct stat st;
    if (fstat(STDIN_FILENO, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        return false;
    auto len = static_cast<size_t>(st.st_size);
    static const unsigned char empty = 0;
    void* map = len > 0 ? mmap(nullptr, len, PROT_READ, MAP_PRIVATE, STDIN_FILENO, 0) : nullptr;
    if (map == MAP_FAILED)
        return false;
    const auto* bytes = len > 0 ? static_cast<const unsigned char*>(map) : &empty;
    bool ok = crypto_sign_verify_detached(signature, bytes, len, key) == 0;
    if (len > 0)
        munmap(map, len);
    return ok;
}

} // namespace

int main()
{
    if (sodium_init() < 0)
        return VERIFY_NO_KEY;
    std::array<uint8_t, SIGNIFY_PUBLIC_KEY_SIZE> key{};
    std::array<uint8_t, SIGNIFY_SIGNATURE_SIZE> signature{};
    std::array<char, PATH_MAX + 8> sig_path{};
    struct stat key_file, sig_file;
    if (!read_trusted(UPGRADE_KEY_NAME, key.data(), key.size(), &key_file))
        return VERIFY_NO_KEY;
    if (!signature_path(sig_path.data(), sig_path.size()) ||
        !read_trusted(sig_path.data(), signature.data(), signature.size(), &sig_file))
        return VERIFY_NO_SIGNATURE;
    if (std::memcmp(key.data() + 2, signature.data() + 2, SIGNIFY_KEYNUM_SIZE) != 0)
        return VERIFY_KEY_DIFFERS;
    if (!package_verifies(signature.data() + 2 + SIGNIFY_KEYNUM_SIZE, key.data() + 2 + SIGNIFY_KEYNUM_SIZE))
        return VERIFY_BAD_SIGNATURE;
    // Its work done: removed, if the name still holds the file that was read.
    struct stat named;
    if (lstat(sig_path.data(), &named) == 0 && named.st_dev == sig_file.st_dev && named.st_ino == sig_file.st_ino)
        unlink(sig_path.data());
    return VERIFY_OK;
}
