#include <sched.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "win32/posix/posix.h"

namespace posix {

namespace {

// Held for a few instructions at a time: every trace line takes it four times,
// and a mutex's call costs more than the work it guards. A holder that was
// preempted is given the processor rather than waited for with it.
class SpinLock {
public:
    void lock() {
        for (unsigned tries = 1; m_held.exchange(true, std::memory_order_acquire); ++tries) {
            if (tries % 64 == 0) {
                sched_yield();
            }
        }
    }
    void unlock() { m_held.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_held{false};
};

// Handle values are multiples of 4, as on Windows; slot i is handle (i + 1) * 4.
class HandleTable {
public:
    HANDLE Insert(std::shared_ptr<KernelObject> object) {
        std::lock_guard<SpinLock> lock(m_mutex);
        size_t slot = m_free.empty() ? m_slots.size() : m_free.back();
        if (slot == m_slots.size()) {
            m_slots.emplace_back();
        } else {
            m_free.pop_back();
        }
        m_slots[slot] = std::move(object);
        ++m_count;
        return reinterpret_cast<HANDLE>((slot + 1) * 4);
    }

    std::shared_ptr<KernelObject> Lookup(HANDLE handle) {
        std::lock_guard<SpinLock> lock(m_mutex);
        size_t slot = 0;
        return SlotOf(handle, slot) ? m_slots[slot] : nullptr;
    }

    bool Remove(HANDLE handle) {
        std::shared_ptr<KernelObject> doomed;  // destroyed outside the lock
        std::lock_guard<SpinLock> lock(m_mutex);
        size_t slot = 0;
        if (!SlotOf(handle, slot)) {
            return false;
        }
        doomed = std::move(m_slots[slot]);
        m_free.push_back(slot);
        --m_count;
        return true;
    }

    size_t Count() {
        std::lock_guard<SpinLock> lock(m_mutex);
        return m_count;
    }

private:
    bool SlotOf(HANDLE handle, size_t& slot) const {
        const auto value = reinterpret_cast<uintptr_t>(handle);
        if (value == 0 || value % 4 != 0) {
            return false;
        }
        slot = value / 4 - 1;
        return slot < m_slots.size() && m_slots[slot] != nullptr;
    }

    SpinLock m_mutex;
    std::vector<std::shared_ptr<KernelObject>> m_slots;
    std::vector<size_t> m_free;
    size_t m_count = 0;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // lives past static destruction
    return *table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    return Table().Insert(std::move(object));
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    return Table().Lookup(handle);
}

bool RemoveHandle(HANDLE handle) {
    return Table().Remove(handle);
}

size_t OpenHandleCount() {
    return Table().Count();
}

}  // namespace posix
