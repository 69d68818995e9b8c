#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/test_platform.h"

namespace velmora::vpn::testing {

std::string makeTempFolder(const std::string& tag) {
    static std::atomic<int> counter{0};
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("velmora-" + tag + "-" + std::to_string(currentProcessId()) + "-" +
                                          std::to_string(++counter));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder.string();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

ProgramRun runSibling(const std::string& program, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds limit) {
    SiblingProcess process(program, arguments);
    return process.wait(limit);
}

}  // namespace velmora::vpn::testing
