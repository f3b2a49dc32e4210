// Reference counting for objects shared between the container thread and worker threads.
// The object is deleted when the last reference is released.
#pragma once

#include <atomic>

namespace platform {

class RefCounted {
public:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    unsigned long AddRef() { return ++refs_; }
    unsigned long Release() {
        unsigned long left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    unsigned long RefCount() const { return refs_.load(); }

protected:
    virtual ~RefCounted() = default;

private:
    std::atomic<unsigned long> refs_{1};
};

}  // namespace platform
