// Reused lock-file inodes: see lock_template.h.
//
// One table per copy of this code in the process (the programs and the
// component each link their own), guarded by one mutex.  The mutex is taken
// across fork() so that a child never inherits it locked by a thread that
// does not exist there; the child recognises the table as its parent's by
// the process ID and forgets it without removing anything.
#include "support/lock_template.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"

namespace zel::locks {
namespace {

constexpr std::string_view kTemplatePrefix = ".qvzel_lock.tpl.";
// The names one process takes over and over are few (the log, the result
// file, a guard or two, a job); names taken once (a packing lock per
// uploaded file) pass through.  Beyond this many names the least recently
// used one is forgotten and its template removed.
constexpr std::size_t kMaxNames = 16;
// Directories already swept for the templates of ended processes.
constexpr std::size_t kMaxSweptDirectories = 64;

// The maker of a template name "<prefix><pid>.<start>.<n>"; false when name
// is not one.
bool TemplateOwner(std::string_view name, zel::proc::ProcessIdentity* owner) {
    if (name.compare(0, kTemplatePrefix.size(), kTemplatePrefix) != 0) return false;
    const std::string_view rest = name.substr(kTemplatePrefix.size());
    zel::proc::ProcessIdentity who;
    const std::size_t used = zel::proc::ParseIdentity(rest, '.', &who);
    if (used == 0 || used + 1 >= rest.size() || rest[used] != '.') return false;
    for (const char c : rest.substr(used + 1)) {
        if (c < '0' || c > '9') return false;
    }
    *owner = who;
    return true;
}

struct Entry {
    std::string lock_file;
    ContentFn content = nullptr;
    std::string template_path;  // empty while none is made
    bool refused = false;       // links do not work here: the plain way only
    unsigned long long last_use = 0;
};

class Templates {
  public:
    static Templates& Get() {
        static Templates table;
        return table;
    }

    ~Templates() {
        std::lock_guard<std::mutex> hold(mutex_);
        RemoveAll();
    }
    Templates(const Templates&) = delete;
    Templates& operator=(const Templates&) = delete;

    int Link(const std::string& lock_file, ContentFn content) {
        // A relative name means another file after a change of directory,
        // and so would its template.
        if (lock_file.empty() || lock_file[0] != '/') return kNoTemplate;
        std::lock_guard<std::mutex> hold(mutex_);
        AdoptIfForked();
        Entry* entry = Find(lock_file, content);
        if (entry == nullptr) {
            // The first lock of this process in a directory clears what
            // killed processes left there, whether or not a template of its
            // own ever follows.
            SweepOnce(zel::fs::DirName(lock_file));
            Remember(lock_file, content);
            return kNoTemplate;
        }
        entry->last_use = ++clock_;
        if (entry->refused) return kNoTemplate;
        for (int round = 0; round < 2; ++round) {
            if (entry->template_path.empty() && !Make(entry)) return kNoTemplate;
            int err = zel::fs::TouchNow(entry->template_path);
            if (err == 0) {
                err = zel::fs::LinkExclusive(entry->template_path, lock_file);
                if (err == 0 || err == EEXIST || err == EINTR) return err;
            }
            Discard(entry);
            // The template went (its directory was emptied or made anew):
            // one new one is worth a try.  Any other refusal is the file
            // system's, and lasts.
            if (err != ENOENT) {
                entry->refused = true;
                return kNoTemplate;
            }
        }
        return kNoTemplate;
    }

    void Drop() {
        std::lock_guard<std::mutex> hold(mutex_);
        AdoptIfForked();
        RemoveAll();
    }

  private:
    Templates() { (void)::pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild); }

    static void BeforeFork() { Get().mutex_.lock(); }
    static void AfterForkInParent() { Get().mutex_.unlock(); }
    // Only the unlock: the table is forgotten on the child's first use,
    // outside the restricted world of a fork handler.
    static void AfterForkInChild() { Get().mutex_.unlock(); }

    // A table made by another process (the parent of a fork) names that
    // process's templates: forgotten, never removed.
    void AdoptIfForked() {
        const pid_t pid = ::getpid();
        if (pid == owner_) return;
        entries_.clear();
        swept_.clear();
        owner_ = pid;
        self_ = zel::proc::SelfIdentity();
    }

    Entry* Find(const std::string& lock_file, ContentFn content) {
        for (Entry& e : entries_) {
            if (e.content == content && e.lock_file == lock_file) return &e;
        }
        return nullptr;
    }

    void Remember(const std::string& lock_file, ContentFn content) {
        if (entries_.size() >= kMaxNames) {
            std::size_t oldest = 0;
            for (std::size_t i = 1; i < entries_.size(); ++i) {
                if (entries_[i].last_use < entries_[oldest].last_use) oldest = i;
            }
            Discard(&entries_[oldest]);
            entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(oldest));
        }
        Entry entry;
        entry.lock_file = lock_file;
        entry.content = content;
        entry.last_use = ++clock_;
        entries_.push_back(std::move(entry));
    }

    // Removes the templates of ended processes in dir, once per process.
    void SweepOnce(const std::string& dir) {
        for (const std::string& d : swept_) {
            if (d == dir) return;
        }
        (void)RemoveAbandonedTemplates(dir);
        if (swept_.size() >= kMaxSweptDirectories) swept_.clear();
        swept_.push_back(dir);
    }

    // Makes the entry's template.  False when none can be made.
    bool Make(Entry* entry) {
        const std::string dir = zel::fs::DirName(entry->lock_file);
        SweepOnce(dir);
        const std::string content = entry->content != nullptr ? entry->content() : std::string();
        const std::string stem = dir + "/" + std::string(kTemplatePrefix) +
                                 std::to_string(self_.pid) + "." + std::to_string(self_.start) +
                                 ".";
        // The other copies of this code in the process count on their own:
        // their names are stepped over.
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string path = stem + std::to_string(counter_++);
            zel::fs::UniqueFd fd;
            const int err = zel::fs::CreateExclusive(path, &fd);
            if (err == EEXIST) continue;
            if (err != 0) return false;
            if (zel::fs::WriteAll(fd.get(), content.data(), content.size()) != 0) {
                fd.reset();
                ::unlink(path.c_str());
                return false;
            }
            entry->template_path = std::move(path);
            return true;
        }
        return false;
    }

    void Discard(Entry* entry) {
        if (entry->template_path.empty()) return;
        ::unlink(entry->template_path.c_str());
        entry->template_path.clear();
    }

    void RemoveAll() {
        if (owner_ == ::getpid()) {
            for (Entry& e : entries_) Discard(&e);
        }
        entries_.clear();
        swept_.clear();
    }

    std::mutex mutex_;
    pid_t owner_ = 0;
    zel::proc::ProcessIdentity self_;
    std::vector<Entry> entries_;
    std::vector<std::string> swept_;
    unsigned long long clock_ = 0;
    unsigned long long counter_ = 0;
};

}  // namespace

int LinkFromTemplate(const std::string& lock_file, ContentFn content) {
    return Templates::Get().Link(lock_file, content);
}

void DropTemplates() {
    Templates::Get().Drop();
}

int RemoveAbandonedTemplates(const std::string& dir) {
    std::vector<std::string> names;
    if (zel::fs::ListMatching(dir, "*", &names, true) != 0) return 0;
    int removed = 0;
    const std::string prefix = dir == "/" ? std::string() : dir;
    for (const std::string& name : names) {
        zel::proc::ProcessIdentity owner;
        if (!TemplateOwner(name, &owner) || !zel::proc::HasEnded(owner)) continue;
        if (::unlink((prefix + "/" + name).c_str()) == 0) ++removed;
    }
    return removed;
}

}  // namespace zel::locks
