#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace testsupport {

//! How a write in a child process ended ("exit 0", "signal 25", …) and the text the write gave back.
struct ChildWrite
{
    std::string ended;
    std::string text;
};

//! Runs `write` in a child process that has the signal actions every program starts with (SIGXFSZ ends it) and may
//! write no file larger than `limit` bytes. The child exits 0 after `write`, whatever it gave back.
ChildWrite writeInChildPastSizeLimit(const std::function<std::string()>& write, long limit = 16);

//! Runs `prepare` and then `write` in a child process that has `folder` on a file system of its own (a small tmpfs in
//! a private mount namespace, gone with the child) filled up between the two. Nothing where the system allows no such
//! mount (not root); the real folder is never touched.
std::optional<ChildWrite> writeInChildOnFullDisk(const std::string& folder,
                                                 const std::function<void()>& prepare,
                                                 const std::function<std::string()>& write);

//! Runs `work` in a child process and gives back how it ended and the text `work` gave back; nothing when the child
//! had not ended after `bound` (it is killed then): for work that must not hang, without a timing assertion.
std::optional<ChildWrite> runInChildWithin(std::chrono::seconds bound, const std::function<std::string()>& work);

} // namespace testsupport
