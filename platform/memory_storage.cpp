// Reference-counted stream over a shared byte vector, and a storage mapping names to such vectors.
#include "platform/memory_storage.h"

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {
namespace {

using Bytes = std::shared_ptr<std::vector<std::uint8_t>>;

constexpr std::uint64_t kMaxStreamBytes = 64u << 20;  // a stream larger than this is refused

class MemoryStream final : public SingleInterfaceObject<IStream, IID_IStream> {
  public:
    explicit MemoryStream(Bytes bytes) : bytes_(std::move(bytes)) {}

    HRESULT Read(void* data, ULONG size, ULONG* read) override {
        if (data == nullptr && size > 0) return E_POINTER;
        const std::uint64_t have = bytes_->size() > position_ ? bytes_->size() - position_ : 0;
        const ULONG n = static_cast<ULONG>(have < size ? have : size);
        if (n > 0) std::memcpy(data, bytes_->data() + position_, n);
        position_ += n;
        if (read != nullptr) *read = n;
        return S_OK;
    }
    HRESULT Write(const void* data, ULONG size, ULONG* written) override {
        if (data == nullptr && size > 0) return E_POINTER;
        if (position_ + size > kMaxStreamBytes) return E_OUTOFMEMORY;
        if (bytes_->size() < position_ + size) bytes_->resize(position_ + size);
        if (size > 0) std::memcpy(bytes_->data() + position_, data, size);
        position_ += size;
        if (written != nullptr) *written = size;
        return S_OK;
    }
    HRESULT Seek(std::int64_t move, DWORD origin, std::uint64_t* position) override {
        std::int64_t base = 0;
        switch (origin) {
            case STREAM_SEEK_SET:
                base = 0;
                break;
            case STREAM_SEEK_CUR:
                base = static_cast<std::int64_t>(position_);
                break;
            case STREAM_SEEK_END:
                base = static_cast<std::int64_t>(bytes_->size());
                break;
            default:
                return E_INVALIDARG;
        }
        const std::int64_t target = base + move;
        if (target < 0 || static_cast<std::uint64_t>(target) > kMaxStreamBytes) return E_INVALIDARG;
        position_ = static_cast<std::uint64_t>(target);
        if (position != nullptr) *position = position_;
        return S_OK;
    }

  private:
    ~MemoryStream() = default;
    Bytes bytes_;
    std::uint64_t position_ = 0;
};

class MemoryStorage final : public SingleInterfaceObject<IStorage, IID_IStorage> {
  public:
    HRESULT CreateStream(const OLECHAR* name, IStream** stream) override {
        if (name == nullptr || stream == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> guard(lock_);
        Bytes& bytes = streams_[name];
        bytes = std::make_shared<std::vector<std::uint8_t>>();
        *stream = new MemoryStream(bytes);
        return S_OK;
    }
    HRESULT OpenStream(const OLECHAR* name, IStream** stream) override {
        if (name == nullptr || stream == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> guard(lock_);
        auto it = streams_.find(name);
        if (it == streams_.end()) {
            *stream = nullptr;
            return STG_E_FILENOTFOUND;
        }
        *stream = new MemoryStream(it->second);
        return S_OK;
    }

  private:
    ~MemoryStorage() = default;
    std::mutex lock_;
    std::map<std::u16string, Bytes> streams_;
};

}  // namespace

IStream* CreateMemoryStream() {
    return new MemoryStream(std::make_shared<std::vector<std::uint8_t>>());
}

IStorage* CreateMemoryStorage() {
    return new MemoryStorage();
}

}  // namespace platform
