// A process for tests to watch: sleeps for the milliseconds given as its only
// argument (for ever without one), then exits with 0.
#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 2) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(argv[1])));
    return 0;
}
