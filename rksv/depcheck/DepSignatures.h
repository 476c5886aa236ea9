#pragma once

#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The DEP check's signature verification on worker threads. Used by DepVerifier.cpp only.
namespace rksv::depcheck {

inline constexpr std::size_t MAX_DER_SIGNATURE_BYTES = 72;
//! Receipts a batch holds at most.
inline constexpr std::size_t BATCH_RECEIPTS = 256;
using RawSignature = std::array<std::uint8_t, ES256_SIGNATURE_BYTES>;
using DerSignature = std::array<std::uint8_t, MAX_DER_SIGNATURE_BYTES>;

//! The public key of a group's certificate; batches share it read-only.
struct GroupKey
{
    X509Ptr certificate;
    EVP_PKEY* key = nullptr;
};

//! Base64URL without padding of exactly 64 bytes (86 characters, the last four unused bits zero).
[[nodiscard]] bool decodeRawSignature(std::string_view text, RawSignature& raw);
//! R‖S as the DER SEQUENCE of two INTEGERs that OpenSSL verifies, without big-number objects; returns its length.
std::size_t rawToDer(const RawSignature& raw, DerSignature& der);

// Receipts of one group whose signatures a worker verifies; the texts lie back to back in one reused string.
struct Batch
{
    struct Job
    {
        long position = 0;
        std::uint32_t inputOffset = 0;
        std::uint32_t inputLength = 0;
        std::uint32_t idOffset = 0;
        std::uint32_t idLength = 0;
        long group = 0;
        DerSignature der{};
        std::size_t derLength = 0;
    };

    void clear()
    {
        key.reset();
        text.clear();
        jobs.clear();
        failed.clear();
    }
    //! Adds a receipt: its place, group, signing input, Belegnummer and raw signature (turned into DER here).
    void add(long position, long group, std::string_view input, std::string_view id, const RawSignature& raw);

    std::shared_ptr<const GroupKey> key;
    std::string text;
    std::vector<Job> jobs;
    std::vector<std::size_t> failed; //!< jobs whose signature does not verify
};

// Worker threads that verify batches; the reading thread hands batches in and takes them back with their results.
class SignaturePool
{
public:
    //! Starts `threads` workers; with `stop` set they pass batches back unverified.
    SignaturePool(unsigned threads, const std::atomic<bool>* stop);
    //! Joins the workers.
    ~SignaturePool();
    SignaturePool(const SignaturePool&) = delete;
    SignaturePool& operator=(const SignaturePool&) = delete;

    //! A batch to fill: a spare one or a new one.
    std::unique_ptr<Batch> emptyBatch();
    //! Queues the batch; waits while too many are under way.
    void submit(std::unique_ptr<Batch> batch);
    //! Hands each finished batch to `finished` and keeps it for reuse; with `all`, waits until none is under way.
    void collect(const std::function<void(const Batch&)>& finished, bool all);

private:
    void work();
    static void verify(EVP_MD_CTX* context, std::shared_ptr<const GroupKey>& lastKey, Batch& batch);

    const std::atomic<bool>* m_stop;
    std::size_t m_maxInFlight;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_room;
    std::deque<std::unique_ptr<Batch>> m_queue;
    std::vector<std::unique_ptr<Batch>> m_done;
    std::vector<std::unique_ptr<Batch>> m_spare;
    std::size_t m_inFlight = 0;
    bool m_closing = false;
    std::vector<std::thread> m_threads;
};

} // namespace rksv::depcheck
