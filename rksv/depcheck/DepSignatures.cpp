#include "rksv/depcheck/DepSignatures.h"

#include <openssl/evp.h>

#include <cstring>

namespace rksv::depcheck {

namespace {

constexpr std::size_t SIGNATURE_BASE64URL_CHARS = 86;
constexpr std::size_t BATCHES_PER_THREAD = 4;

} // namespace

bool decodeRawSignature(std::string_view text, RawSignature& raw)
{
    if (text.size() != SIGNATURE_BASE64URL_CHARS) {
        return false;
    }
    const auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') {
            return c - 'A';
        }
        if (c >= 'a' && c <= 'z') {
            return c - 'a' + 26;
        }
        if (c >= '0' && c <= '9') {
            return c - '0' + 52;
        }
        return c == '-' ? 62 : c == '_' ? 63 : -1;
    };
    std::uint32_t bits = 0;
    int bitCount = 0;
    std::size_t out = 0;
    for (const char c : text) {
        const int v = value(c);
        if (v < 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            raw[out++] = static_cast<std::uint8_t>(bits >> bitCount);
        }
    }
    return (bits & ((1u << bitCount) - 1)) == 0;
}

std::size_t rawToDer(const RawSignature& raw, DerSignature& der)
{
    std::size_t at = 2;
    const auto integer = [&](const std::uint8_t* half) {
        std::size_t skip = 0;
        while (skip < 31 && half[skip] == 0) {
            ++skip;
        }
        const bool pad = (half[skip] & 0x80) != 0;
        der[at++] = 0x02;
        der[at++] = static_cast<std::uint8_t>(32 - skip + (pad ? 1 : 0));
        if (pad) {
            der[at++] = 0;
        }
        std::memcpy(der.data() + at, half + skip, 32 - skip);
        at += 32 - skip;
    };
    der[0] = 0x30;
    integer(raw.data());
    integer(raw.data() + 32);
    der[1] = static_cast<std::uint8_t>(at - 2);
    return at;
}

void Batch::add(long position, long group, std::string_view input, std::string_view id, const RawSignature& raw)
{
    Job& job = jobs.emplace_back();
    job.position = position;
    job.group = group;
    job.inputOffset = static_cast<std::uint32_t>(text.size());
    job.inputLength = static_cast<std::uint32_t>(input.size());
    text.append(input);
    job.idOffset = static_cast<std::uint32_t>(text.size());
    job.idLength = static_cast<std::uint32_t>(id.size());
    text.append(id);
    job.derLength = rawToDer(raw, job.der);
}

SignaturePool::SignaturePool(unsigned threads, const std::atomic<bool>* stop)
    : m_stop(stop)
    , m_maxInFlight(BATCHES_PER_THREAD * threads)
{
    for (unsigned i = 0; i < threads; ++i) {
        m_threads.emplace_back([this] { work(); });
    }
}
SignaturePool::~SignaturePool()
{
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_wake.notify_all();
    for (auto& thread : m_threads) {
        thread.join();
    }
}

std::unique_ptr<Batch> SignaturePool::emptyBatch()
{
    const std::lock_guard lock(m_mutex);
    if (m_spare.empty()) {
        auto batch = std::make_unique<Batch>();
        batch->jobs.reserve(BATCH_RECEIPTS);
        return batch;
    }
    auto batch = std::move(m_spare.back());
    m_spare.pop_back();
    return batch;
}

void SignaturePool::submit(std::unique_ptr<Batch> batch)
{
    std::unique_lock lock(m_mutex);
    m_room.wait(lock, [this] { return m_inFlight < m_maxInFlight; });
    ++m_inFlight;
    m_queue.push_back(std::move(batch));
    lock.unlock();
    m_wake.notify_one();
}

void SignaturePool::collect(const std::function<void(const Batch&)>& finished, bool all)
{
    std::unique_lock lock(m_mutex);
    if (all) {
        m_room.wait(lock, [this] { return m_inFlight == 0; });
    }
    std::vector<std::unique_ptr<Batch>> done;
    done.swap(m_done);
    lock.unlock();
    for (auto& batch : done) {
        finished(*batch);
        batch->clear();
    }
    lock.lock();
    for (auto& batch : done) {
        m_spare.push_back(std::move(batch));
    }
}

void SignaturePool::work()
{
    const EvpMdCtxPtr context(EVP_MD_CTX_new());
    std::shared_ptr<const GroupKey> lastKey; // kept alive, so no new key can take its address
    for (;;) {
        std::unique_ptr<Batch> batch;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_closing || !m_queue.empty(); });
            if (m_queue.empty()) {
                return;
            }
            batch = std::move(m_queue.front());
            m_queue.pop_front();
        }
        if (m_stop == nullptr || !m_stop->load(std::memory_order_relaxed)) {
            verify(context.get(), lastKey, *batch);
        }
        {
            const std::lock_guard lock(m_mutex);
            m_done.push_back(std::move(batch));
            --m_inFlight;
        }
        m_room.notify_all();
    }
}

// OpenSSL re-initialises a context for the key it was first set up with and ignores the key passed again: a
// context that last verified for another group is reset first.
void SignaturePool::verify(EVP_MD_CTX* context, std::shared_ptr<const GroupKey>& lastKey, Batch& batch)
{
    if (lastKey != batch.key && context != nullptr) {
        EVP_MD_CTX_reset(context);
        lastKey = batch.key;
    }
    EVP_PKEY* key = batch.key->key;
    const auto* text = reinterpret_cast<const unsigned char*>(batch.text.data());
    for (std::size_t i = 0; i < batch.jobs.size(); ++i) {
        const Batch::Job& job = batch.jobs[i];
        const bool valid =
            context != nullptr && EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1
            && EVP_DigestVerify(context, job.der.data(), job.derLength, text + job.inputOffset, job.inputLength) == 1;
        if (!valid) {
            batch.failed.push_back(i);
        }
    }
}

} // namespace rksv::depcheck
