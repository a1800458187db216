// Test child processes: a program or a body run to its exit status, or a group that starts at one signal.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace test_support {

// How a reaped child ended: its exit code, 128 + the signal that killed it, or -1 when it
// could not be waited for.
int waitForExitStatus(pid_t pid);

// Runs a program found on PATH with arguments (the program's name first) to its end; its exit
// code, or -1 when it could not start or did not exit.
int runProgram(const std::vector<std::string>& arguments);

// Runs body in a forked child, which exits with the body's result; gives that exit status.
int runInChild(const std::function<int()>& body);

// count forked children, each blocked until start() and then exiting with body(index). The
// pipe they wait on closes on start(), so they go together, or as the parent dies. Children
// not waited for are killed and reaped when the group goes.
class ChildGroup {
public:
    ChildGroup(int count, const std::function<int(int index)>& body);
    ~ChildGroup();
    ChildGroup(const ChildGroup&) = delete;
    ChildGroup& operator=(const ChildGroup&) = delete;

    // False when not every child could be forked.
    bool forked() const { return forked_; }
    void start();
    // Starts them if not yet started and gives every exit status, in index order.
    std::vector<int> wait();

private:
    std::vector<pid_t> children_;
    int startPipe_[2] = {-1, -1};
    bool forked_ = true;
};

}  // namespace test_support
