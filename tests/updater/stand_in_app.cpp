// Stands in for the application in the updater tests: a real executable (so that /proc/PID/exe names
// it) that records each start with its working directory and arguments in $ZELVO_TEST_APP_LOG, stays
// for --linger-ms milliseconds and records its exit.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *logPath = std::getenv("ZELVO_TEST_APP_LOG");
    if (!logPath)
        return 0;
    char cwd[4096] = {};
    if (!getcwd(cwd, sizeof cwd))
        cwd[0] = '\0';
    long lingerMs = 0;
    {
        std::ofstream log(logPath, std::ios::app);
        log << "start\t" << cwd;
        for (int i = 1; i < argc; ++i) {
            log << '\t' << argv[i];
            if (std::strcmp(argv[i], "--linger-ms") == 0 && i + 1 < argc)
                lingerMs = std::atol(argv[i + 1]);
        }
        log << '\n';
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(lingerMs));
    std::ofstream(logPath, std::ios::app) << "exit\n";
    return 0;
}
