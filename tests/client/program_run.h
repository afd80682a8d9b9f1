// usbcam run as a program for the end-to-end tests: its output, error lines
// and exit status.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace usbcam_test {

struct ProgramRun {
    int Exit;
    std::string Out;
    std::string Err;

    std::vector<std::string> OutLines() const {
        std::vector<std::string> lines;
        std::istringstream in(Out);
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    }
};

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs usbcam with the given arguments (shell syntax) and standard input. The
// time limit only guards against a hang.
inline ProgramRun Usbcam(const std::string &args, const std::string &input = "") {
    static int counter = 0;  // one program per test process at a time
    const std::string base = ::testing::TempDir() + "client_usbcam_" + std::to_string(getpid()) +
                             "_" + std::to_string(counter++);
    {
        std::ofstream in(base + ".in");
        in << input;
    }
    const std::string command = "timeout 200 " USBCAM_PROGRAM " " + args + " < " + base + ".in > " +
                                base + ".out 2> " + base + ".err";
    const int raw = system(command.c_str());
    ProgramRun run;
    run.Exit = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.Out = ReadFile(base + ".out");
    run.Err = ReadFile(base + ".err");
    remove((base + ".in").c_str());
    remove((base + ".out").c_str());
    remove((base + ".err").c_str());
    return run;
}

// An error is one line on standard error, nothing on standard output, exit 1.
inline void ExpectOneLineError(const ProgramRun &run, const std::string &mention) {
    EXPECT_EQ(run.Exit, 1) << run.Err;
    EXPECT_EQ(run.Out, "");
    ASSERT_FALSE(run.Err.empty());
    EXPECT_EQ(run.Err.find('\n'), run.Err.size() - 1) << run.Err;
    EXPECT_EQ(run.Err.rfind("usbcam: ", 0), 0u) << run.Err;
    EXPECT_NE(run.Err.find(mention), std::string::npos) << run.Err;
}

// The same after a batch's earlier lines have printed their output.
inline void ExpectFailureLine(const ProgramRun &run, const std::string &mention) {
    EXPECT_EQ(run.Exit, 1) << run.Err;
    ASSERT_FALSE(run.Err.empty());
    EXPECT_EQ(run.Err.find('\n'), run.Err.size() - 1) << run.Err;
    EXPECT_EQ(run.Err.rfind("usbcam: ", 0), 0u) << run.Err;
    EXPECT_NE(run.Err.find(mention), std::string::npos) << run.Err;
}

}  // namespace usbcam_test
