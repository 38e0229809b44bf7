// Every temporary folder of a test suite, and of the programs it starts, lives
// under one root of its own, ecg-tests-<pid> in the temporary folder, which
// QTemporaryDir finds through TMPDIR. The root goes when the suite ends; a
// killed suite leaves it, and the next suite to start removes every root whose
// process is gone, here or in /dev/shm (tests/support/headless.py does the same).

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string rootPrefix = "ecg-tests-";

// The pid a root was made by; 0 for any other name.
pid_t owner(const std::string &name)
{
    if (name.rfind(rootPrefix, 0) != 0)
        return 0;
    const std::string digits = name.substr(rootPrefix.size());
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return pid_t(std::stol(digits));
}

void removeLeftRoots(const fs::path &base)
{
    std::error_code error;
    std::vector<fs::path> left;
    for (fs::directory_iterator entry(base, error), end; !error && entry != end; entry.increment(error)) {
        const pid_t pid = owner(entry->path().filename());
        // EPERM: alive, another user's.
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
            left.push_back(entry->path());
    }
    for (const fs::path &root : left)
        fs::remove_all(root, error);
}

class TestRoot
{
public:
    TestRoot()
    {
        const char *given = std::getenv("TMPDIR");
        const fs::path base = given && *given ? given : "/tmp";
        removeLeftRoots(base);
        removeLeftRoots("/dev/shm");
        const fs::path made = base / (rootPrefix + std::to_string(pid));
        std::error_code error;
        fs::remove_all(made, error);
        if (fs::create_directory(made, error) && setenv("TMPDIR", made.c_str(), 1) == 0)
            root = made;
    }

    ~TestRoot()
    {
        std::error_code error;
        if (!root.empty() && getpid() == pid)
            fs::remove_all(root, error);
    }

    TestRoot(const TestRoot &) = delete;
    TestRoot &operator=(const TestRoot &) = delete;

private:
    const pid_t pid = getpid();
    fs::path root;
};

const TestRoot testRoot;

} // namespace
