// ZIP extraction: the pipeline. The calling thread plans each entry in
// archive order, writer threads unpack files while it goes on, and the
// reports come back in archive order. Entries, folders and the platform's
// files and links have files of their own (installer_extract.h).
#include "installer_extract.h"

#include <zip.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "installer_download.h"
#include "installer_extract_entries.h"
#include "installer_extract_folders.h"
#include "installer_extract_paths.h"
#include "installer_extract_folders_platform.h"
#include "installer_utils.h"
#include "text_escape.h"

using namespace Extraction;

namespace {

// ---------------------------------------------------------------------------
// Tunables: the product values, which tests may change (DeliveryTesting).

constexpr size_t kExtractBlockSize = 256 * 1024;
// File creation waits on the disk (and on Windows on the virus scan); a few
// writers hide most of that. Three did best when measured on real trees and
// on a runtime-like archive, on disk and in memory: four were no faster, and
// more contend in the kernel (inode allocation, the disk's block lookups).
constexpr int kExtractThreads = 3;
// Entries planned ahead of the oldest unreported one. A full window is
// handed over and a quarter of it reported before planning goes on. Its
// entries' names are held to a size too, however long each is.
constexpr size_t kExtractWindow = 512;
constexpr size_t kExtractWindowNameBytes = 2 * 1024 * 1024;
// Entries go to a writer in batches of this many, or fewer when they are large.
constexpr size_t kBatchEntries = 32;
constexpr uint64_t kBatchBytes = 1024 * 1024;
// What creating a file costs, counted as bytes of content, when the load of
// writers is compared.
constexpr uint64_t kEntryCost = 16 * 1024;
// The small files of one folder go to one writer, so that writers do not
// queue on one folder's lock; larger ones go to the least busy writer, and
// a folder moves when its writer is this far behind the least busy one.
constexpr uint64_t kSplitOffBytes = 128 * 1024;
constexpr uint64_t kRebalanceCost = 4 * 1024 * 1024;
// Every writer holds its own archive handle, whose central directory grows
// with the entries; writers are added only while they fit in this.
constexpr uint64_t kWriterMemoryBudget = 48ull * 1024 * 1024;
constexpr uint64_t kWriterFixedBytes = 512 * 1024;  // block, inflate state
constexpr uint64_t kWriterBytesPerEntry = 400;

int g_extractThreads = kExtractThreads;
size_t g_folderBudget = 0;  // 0: defaultFolderBudget()

// ---------------------------------------------------------------------------
// The pipeline.

// The paths of entries planned and not yet reported, so that an entry that
// overlaps one of them (the same path, or one is a folder on the other's
// way) waits for it. Paths are the nodes of their comparison keys, so an
// entry costs a step for each folder on its way.
class PendingPaths {
public:
    explicit PendingPaths(const EntryPlaces& places) : places_(places) {}

    // The last pending entry that overlaps key, if any.
    bool overlap(PathTree::Node key, uint64_t& seq) const {
        bool found = false;
        auto consider = [&](const Counts& counts, PathTree::Node node) {
            auto it = counts.find(node);
            if (it == counts.end()) return;
            seq = found ? std::max(seq, it->second.last) : it->second.last;
            found = true;
        };
        consider(paths_, key);
        consider(folders_, key);
        for (PathTree::Node up = places_.keyParent(key); up != PathTree::kTop; up = places_.keyParent(up))
            consider(paths_, up);
        return found;
    }
    void add(PathTree::Node key, uint64_t seq) {
        bump(paths_[key], seq);
        for (PathTree::Node up = places_.keyParent(key); up != PathTree::kTop; up = places_.keyParent(up))
            bump(folders_[up], seq);
    }
    // Entries leave in the order they came.
    void remove(PathTree::Node key) {
        drop(paths_, key);
        for (PathTree::Node up = places_.keyParent(key); up != PathTree::kTop; up = places_.keyParent(up))
            drop(folders_, up);
    }

private:
    struct Pending {
        uint32_t count = 0;
        uint64_t last = 0;
    };
    using Counts = std::unordered_map<PathTree::Node, Pending>;
    static void bump(Pending& p, uint64_t seq) {
        ++p.count;
        p.last = seq;
    }
    static void drop(Counts& counts, PathTree::Node node) {
        auto it = counts.find(node);
        if (it != counts.end() && --it->second.count == 0) counts.erase(it);
    }

    const EntryPlaces& places_;
    Counts paths_;    // entry paths
    Counts folders_;  // the folders on their way
};

// The folders on the way to a named entry: every place of its route but its own.
size_t foldersOf(const std::vector<EntryPlaces::Place>& route) { return route.empty() ? 0 : route.size() - 1; }

// Writers for an archive of n entries: one (the calling thread) for a single
// entry, else as many as the memory budget holds, up to the configured count.
int writerThreads(uint64_t n) {
    if (n < 2) return 1;
    const uint64_t fit = kWriterMemoryBudget / (kWriterFixedBytes + n * kWriterBytesPerEntry);
    const uint64_t wanted = static_cast<uint64_t>(g_extractThreads);
    return static_cast<int>(fit < wanted ? fit : wanted);
}

// One extraction. The calling thread reads the entries in archive order,
// reaches each file's folder through the folder cache and hands the files to
// writer threads in batches, the small files of one folder to one writer;
// it takes the reports back in archive order, so counts, log lines and
// callbacks stay on it. Links are made on the calling thread once every
// earlier entry is reported, before any later one is planned. With one
// thread the calling thread writes each file itself when it is planned.
class ArchiveExtraction {
public:
    ArchiveExtraction(const std::string& zipPath, zip_t* za, FolderHandle root, const std::string& destDir,
                      uint64_t n, ProgressFn progress, StatusFn status)
        : za_(za),
          root_(root),
          destDir_(destDir),
          n_(n),
          folders_(root, g_folderBudget ? g_folderBudget : defaultFolderBudget(), places_),
          reporter_(n, std::move(progress), std::move(status)),
          block_(kExtractBlockSize),
          ring_(kExtractWindow) {
        const int threads = writerThreads(n);
        std::vector<zip_t*> handles;
        for (int t = 0; threads > 1 && t < threads; ++t) {
            int err = 0;
            zip_t* own = zip_open(zipPath.c_str(), ZIP_RDONLY, &err);
            if (own) handles.push_back(own);
        }
        if (handles.size() < 2) {
            for (zip_t* h : handles) zip_discard(h);
            return;
        }
        writers_.reserve(handles.size());
        for (zip_t* h : handles) writers_.push_back(std::make_unique<Writer>(h));
        batches_.resize(writers_.size());
        for (auto& w : writers_) w->thread = std::thread(&ArchiveExtraction::work, this, w.get());
    }
    ~ArchiveExtraction() {
        for (auto& w : writers_) {
            {
                std::lock_guard<std::mutex> lock(w->mutex);
                w->stopping = true;
            }
            w->wake.notify_one();
        }
        for (auto& w : writers_) w->thread.join();
        for (auto& w : writers_) zip_discard(w->za);
    }
    ArchiveExtraction(const ArchiveExtraction&) = delete;
    ArchiveExtraction& operator=(const ArchiveExtraction&) = delete;

    bool run() {
        for (uint64_t i = 0; i < n_; ++i) {
            EntryJob job;
            EntryReport report;
            if (!planEntry(za_, i, job, report) || !placeEntry(job, report)) {
                if (!report.failure.empty()) pushReport(std::move(report));
            } else if (job.isLink) {
                // Made when every earlier entry is written and before any later
                // one starts, so none of them can pass through it.
                drainAll();
                reporter_.add(makeLink(job));
            } else {
                planFile(std::move(job));
            }
            if (pending() >= ring_.size()) {
                flushAll();
                const uint64_t upTo = tail_ - ring_.size() * 3 / 4;
                waitFor(upTo - 1);
                while (head_ < upTo) popOne();
            }
            if (windowBytes_ > kExtractWindowNameBytes) {
                flushAll();
                while (windowBytes_ > kExtractWindowNameBytes * 3 / 4) popOne();
            }
        }
        drainAll();
        return reporter_.finish();
    }

private:
    struct Slot {
        uint64_t seq = 0;
        bool hasJob = false;
        EntryJob job;
        EntryReport report;
        size_t nameBytes = 0;  // of its texts, while it is in the window
        std::atomic<bool> done{false};
    };

    struct Writer {
        explicit Writer(zip_t* own) : za(own) {}
        zip_t* za;
        std::thread thread;
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::vector<Slot*>> queue;  // batches handed over, oldest first
        bool waiting = false;
        bool stopping = false;
        std::atomic<uint64_t> load{0};  // cost handed over and not yet written
    };

    struct Batch {
        std::vector<Slot*> slots;
        uint64_t cost = 0;
    };

    static uint64_t costOf(const EntryJob& job) { return job.size + kEntryCost; }

    size_t pending() const { return static_cast<size_t>(tail_ - head_); }

    Slot& nextSlot(size_t nameBytes) {
        Slot& slot = ring_[tail_ % ring_.size()];
        slot.seq = tail_;
        slot.nameBytes = nameBytes;
        windowBytes_ += nameBytes;
        slot.done.store(false, std::memory_order_relaxed);
        return slot;
    }

    // The entry's place: the nodes of its path, and no link made earlier on
    // its way (or at it, unless the entry is a link that replaces it).
    bool placeEntry(EntryJob& job, EntryReport& report) {
        places_.route(job.entryPath, route_);
        if (route_.empty()) return true;
        job.place = route_.back();
        if (links_.empty()) return true;
        for (size_t d = 0; d < route_.size(); ++d) {
            const bool own = d + 1 == route_.size();
            if ((!own || !job.isLink) && links_.count(EntryPlaces::linkNode(route_[d]))) {
                report.failure = throughLinkLine(job.entryPath);
                return false;
            }
        }
        return true;
    }

    // An entry decided without writing: it waits its turn.
    void pushReport(EntryReport report) {
        Slot& slot = nextSlot(report.failure.size());
        slot.hasJob = false;
        slot.report = std::move(report);
        slot.done.store(true, std::memory_order_relaxed);
        ++tail_;
    }

    void planFile(EntryJob job) {
        const bool named = entryLeaf(job.entryPath, job.leaf);
        if (!writers_.empty()) {
            uint64_t last = 0;
            if (pendingPaths_.overlap(job.place.key, last)) {
                flushAll();
                while (head_ <= last) popOne();
            }
        }
        Walk walk = named ? Walk::Opened : Walk::Failed;
        Folder* folder = nullptr;
        while (walk == Walk::Opened) {
            walk = folders_.reach(route_, foldersOf(route_), folder);
            if (walk != Walk::Busy) break;
            if (pending() == 0) {
                walk = Walk::Failed;
                break;
            }
            flushAll();
            popOne();
            walk = Walk::Opened;
        }
        if (walk != Walk::Opened) {
            // Decided here; reported as the writer would, once the entry reads.
            EntryReport report = reportOf(extractEntryToFile(za_, job.index, job.size, walk, root_, job.leaf,
                                                             block_.data(), block_.size()),
                                          destDir_, job);
            pushReport(std::move(report));
            return;
        }
        job.handle = folder->handle;
        job.folder = folder;
        Slot& slot = nextSlot(job.entryPath.size() + job.leaf.size());
        slot.hasJob = true;
        if (writers_.empty()) {
            folders_.hold(folder);
            slot.job = std::move(job);
            slot.report = runJob(za_, slot.job, block_);
            slot.done.store(true, std::memory_order_relaxed);
            ++tail_;
            return;
        }
        const size_t w = chooseWriter(job);
        folders_.hold(folder);
        pendingPaths_.add(job.place.key, tail_);
        job.pending = true;
        slot.job = std::move(job);
        Batch& batch = batches_[w];
        batch.slots.push_back(&slot);
        batch.cost += costOf(slot.job);
        ++tail_;
        if (batch.slots.size() >= kBatchEntries || batch.cost >= kBatchBytes) flush(w);
    }

    size_t leastBusy() const {
        size_t best = 0;
        uint64_t bestLoad = UINT64_MAX;
        for (size_t w = 0; w < writers_.size(); ++w) {
            const uint64_t load = loadOf(w);
            if (load < bestLoad) {
                best = w;
                bestLoad = load;
            }
        }
        return best;
    }
    uint64_t loadOf(size_t w) const { return writers_[w]->load.load(std::memory_order_relaxed) + batches_[w].cost; }

    size_t chooseWriter(const EntryJob& job) {
        Folder* folder = job.folder;
        const size_t least = leastBusy();
        if (job.size >= kSplitOffBytes) return least;
        if (folder->users > 0 && folder->writer >= 0) {
            const size_t current = static_cast<size_t>(folder->writer);
            if (loadOf(current) < loadOf(least) + kRebalanceCost) return current;
        }
        folder->writer = static_cast<int>(least);
        return least;
    }

    void flush(size_t w) {
        Batch& batch = batches_[w];
        if (batch.slots.empty()) return;
        Writer& writer = *writers_[w];
        writer.load.fetch_add(batch.cost, std::memory_order_relaxed);
        bool wasWaiting;
        {
            std::lock_guard<std::mutex> lock(writer.mutex);
            writer.queue.push_back(std::move(batch.slots));
            wasWaiting = writer.waiting;
        }
        if (wasWaiting) writer.wake.notify_one();
        batch.slots.clear();
        batch.cost = 0;
    }
    void flushAll() {
        for (size_t w = 0; w < batches_.size(); ++w) flush(w);
    }

    // Waits until entry seq (handed over) is written. The writer of that
    // entry alone wakes the calling thread, so waiting for the last of a
    // run of entries costs one wake-up for all of them.
    void waitFor(uint64_t seq) {
        Slot& slot = ring_[seq % ring_.size()];
        if (slot.done.load(std::memory_order_acquire)) return;
        std::unique_lock<std::mutex> lock(doneMutex_);
        waitingFor_.store(seq);
        doneWake_.wait(lock, [&slot] { return slot.done.load(); });
        waitingFor_.store(kNobody);
    }

    // Reports the oldest planned entry, once it is written.
    void popOne() {
        Slot& slot = ring_[head_ % ring_.size()];
        waitFor(head_);
        EntryReport report = std::move(slot.report);
        if (slot.hasJob) {
            if (report.folderGone) {
                // Someone removed the folder since it was reached: every kept
                // folder on its way is forgotten and the entry written again
                // from a fresh no-follow walk.
                if (slot.job.folder->node != PathTree::kTop) folders_.dropAt(slot.job.folder->top);
                report = rewrite(slot.job);
            }
            folders_.release(slot.job.folder);
            if (slot.job.pending) pendingPaths_.remove(slot.job.place.key);
            slot.job = EntryJob();
        }
        windowBytes_ -= slot.nameBytes;
        ++head_;
        reporter_.add(report);
    }
    void drainAll() {
        flushAll();
        if (pending() > 0) waitFor(tail_ - 1);
        while (pending() > 0) popOne();
    }

    // The entry's route is found again: the one in route_ may be another's.
    EntryReport rewrite(const EntryJob& job) {
        places_.route(job.entryPath, rewriteRoute_);
        FolderHandle folder{};
        bool owned = false;
        const Walk walk = walkAfresh(root_, places_, rewriteRoute_, foldersOf(rewriteRoute_), folder, owned);
        EntryReport report = reportOf(extractEntryToFile(za_, job.index, job.size, walk, folder, job.leaf,
                                                         block_.data(), block_.size()),
                                      destDir_, job);
        if (owned) closeFolder(folder);
        if (report.folderGone) report = writeFailure(destDir_, job);
        return report;
    }

    EntryReport runJob(zip_t* za, const EntryJob& job, std::vector<char>& block) {
        return reportOf(extractEntryToFile(za, job.index, job.size, Walk::Opened, job.handle, job.leaf,
                                           block.data(), block.size()),
                        destDir_, job);
    }

    // Links make no progress call of their own. Where links are small files
    // (Windows), the file holds the target that was checked and reports as
    // a file does.
    EntryReport makeLink(const EntryJob& job) {
        EntryReport report;
        std::string linkTarget;
        if (!readLinkTarget(za_, job.index, job.size, linkTarget)) {
            if (!kMakesLinks) return reportOf(EntryResult::ReadFailed, destDir_, job);
            report.failure = "[extractZip] Failed to extract symlink target: " + escapeForLog(job.entryPath);
            return report;
        }
        if (!linkStaysInside(job.entryPath, linkTarget)) {
            report.failure = "[extractZip] Refusing link that leads outside the destination: " +
                             escapeForLog(job.entryPath) + " -> " + escapeForLog(linkTarget);
            return report;
        }
        std::string leaf;
        Walk walk = entryLeaf(job.entryPath, leaf) ? Walk::Opened : Walk::Failed;
        Folder* folder = nullptr;
        if (walk == Walk::Opened) walk = folders_.reach(route_, foldersOf(route_), folder);
        int err = errno;
        if (walk == Walk::Opened && !makeLinkAt(folder->handle, leaf, linkTarget, err)) walk = Walk::Failed;
        if (!kMakesLinks) return reportOf(walk == Walk::Opened ? EntryResult::Written : EntryResult::OpenFailed,
                                          destDir_, job);
        switch (walk) {
            case Walk::ThroughLink:
                report.failure = throughLinkLine(job.entryPath);
                break;
            case Walk::Opened:
                // No kept folder may lead a later entry past the new link.
                folders_.dropAt(job.place.key);
                links_.insert(EntryPlaces::linkNode(job.place));
                report.counted = true;
                break;
            default:
                report.failure = "[extractZip] Failed to create symlink: " + escapeForLog(job.entryPath) + " -> " +
                                 escapeForLog(linkTarget) + " (errno: " + std::to_string(err) + ")";
                break;
        }
        return report;
    }

    void work(Writer* writer) {
        std::vector<char> block(kExtractBlockSize);
        for (;;) {
            std::vector<Slot*> batch;
            {
                std::unique_lock<std::mutex> lock(writer->mutex);
                writer->waiting = true;
                writer->wake.wait(lock, [writer] { return writer->stopping || !writer->queue.empty(); });
                writer->waiting = false;
                if (writer->queue.empty()) break;
                batch = std::move(writer->queue.front());
                writer->queue.pop_front();
            }
            for (Slot* slot : batch) {
                EntryReport report;
                try {
                    report = runJob(writer->za, slot->job, block);
                } catch (const std::exception&) {
                    report = writeFailure(destDir_, slot->job);
                }
                const uint64_t cost = costOf(slot->job);
                const uint64_t seq = slot->seq;
                slot->report = std::move(report);
                writer->load.fetch_sub(cost, std::memory_order_relaxed);
                slot->done.store(true);
                if (waitingFor_.load() == seq) {
                    // Once the lock is free the calling thread is asleep in
                    // wait (or saw done): the wake-up cannot be lost.
                    { std::lock_guard<std::mutex> lock(doneMutex_); }
                    doneWake_.notify_one();
                }
            }
        }
    }

    static constexpr uint64_t kNobody = UINT64_MAX;

    zip_t* za_;
    FolderHandle root_;
    std::string destDir_;
    uint64_t n_;
    EntryPlaces places_;
    std::vector<EntryPlaces::Place> route_;         // of the entry being planned
    std::vector<EntryPlaces::Place> rewriteRoute_;  // of an entry written again
    FolderCache folders_;
    ExtractionReporter reporter_;
    std::unordered_set<PathTree::Node> links_;  // where this archive made links
    PendingPaths pendingPaths_{places_};
    std::vector<char> block_;  // the calling thread's
    std::vector<Slot> ring_;   // planned entries; slot seq % size
    size_t windowBytes_ = 0;   // the names the window holds
    uint64_t head_ = 0;        // the oldest unreported entry
    uint64_t tail_ = 0;        // the next to plan
    std::vector<std::unique_ptr<Writer>> writers_;
    std::vector<Batch> batches_;  // per writer, not yet handed over
    std::mutex doneMutex_;
    std::condition_variable doneWake_;
    std::atomic<uint64_t> waitingFor_{kNobody};  // the entry the calling thread waits for
};

}  // namespace

bool extractZip(const std::string& zipPath, const std::string& destDir, ProgressFn progress, StatusFn status) {
    std::cout << "[extractZip] Extracting " << zipPath << " to " << destDir << std::endl;
    if (!validateArchive(zipPath)) return false;
    if (!createDirectory(destDir)) {
        std::cerr << "[extractZip] Failed to create destination directory" << std::endl;
        return false;
    }
    FolderHandle root{};
    if (!openDestination(destDir, root)) {
        std::cerr << "[extractZip] Failed to create destination directory" << std::endl;
        return false;
    }
    clearFolderOpens();
    zip_t* za = openArchive(zipPath);
    if (!za) {
        closeFolder(root);
        return false;
    }

    const zip_int64_t entries = zip_get_num_entries(za, 0);
    const uint64_t n = entries > 0 ? static_cast<uint64_t>(entries) : 0;
    std::cout << "[extractZip] Archive contains " << n << " files" << std::endl;
    if (!hasRoomFor(za, n, destDir, status)) {
        zip_discard(za);
        closeFolder(root);
        return false;
    }

    bool ok;
    {
        ArchiveExtraction extraction(zipPath, za, root, destDir, n, std::move(progress), std::move(status));
        ok = extraction.run();
    }
    zip_discard(za);
    closeFolder(root);
    return ok;
}

// ---------------------------------------------------------------------------
// Test seams.

namespace DeliveryTesting {

void setExtractThreads(int threads) { g_extractThreads = threads > 0 ? threads : kExtractThreads; }
void setExtractFolderBudget(size_t folders) { g_folderBudget = folders; }
uint64_t extractFolderOpens() { return folderOpens(); }
void resetExtraction() {
    g_extractThreads = kExtractThreads;
    g_folderBudget = 0;
}

}  // namespace DeliveryTesting
