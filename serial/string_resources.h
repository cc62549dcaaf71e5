// Reader for packed string tables ("STR0": a sorted index of identifiers, then UTF-16LE texts)
// kept as raw-data resources compiled into the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace brimwell::serial {

class StringResourceError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A named raw-data resource. `data` null means the resource is listed but cannot be loaded.
struct RawResource {
    std::string name;
    const uint8_t* data = nullptr;
    std::size_t size = 0;
};

// A set of named resources, the analogue of one executable module's resource section.
class ResourceModule {
  public:
    // Adds or replaces a resource; the bytes (not the name) must outlive the module.
    void add(std::string_view name, const uint8_t* data, std::size_t size);
    void remove(std::string_view name);
    const RawResource* find(std::string_view name) const;

  private:
    std::vector<RawResource> resources_;
};

// The program's own resources; holds "QVSRMGR_STRINGS" from the start.
ResourceModule& programResources();

// Identifiers of the manager's own messages in "QVSRMGR_STRINGS".
enum : int32_t {
    kStrStringNotFound = 1,
    kStrCannotLock = 2,
    kStrResourceNotFound = 3,
    kStrCannotOpen = 4,
    kStrNotStringResource = 5,
};

class StringResource {
  public:
    // Opens |resourceName|, looked up in |module| first and then in the program's resources.
    StringResource(const ResourceModule* module, std::string_view resourceName);

    // Closes the current resource and opens the named one; an empty name leaves it closed.
    void changeResource(const ResourceModule* module, std::string_view resourceName);

    // The text as UTF-8 (the platform's 8-bit encoding); "" when absent.
    std::string getString(int32_t ident) const;
    // The converted text shortened one character at a time until it fits below |size| bytes,
    // zero-terminated. Returns buffer.
    char* getAsciiZ(int32_t ident, char* buffer, std::size_t size) const;
    // At most size - 1 UTF-16 code units, zero-terminated; empty when absent.
    char16_t* getWideChar(int32_t ident, char16_t* buffer, std::size_t size) const;

    // Raise StringResourceError (string 1) instead of answering "" for an absent identifier.
    bool raiseWhenMissing() const { return raiseWhenMissing_; }
    void setRaiseWhenMissing(bool on) { raiseWhenMissing_ = on; }

    bool isOpen() const { return data_ != nullptr; }
    uint32_t count() const { return count_; }

  private:
    void open(const ResourceModule* module, std::string_view resourceName);
    // The text's UTF-16 units, or false when the identifier is absent.
    bool find(int32_t ident, std::u16string& out) const;

    const uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    uint32_t count_ = 0;
    bool raiseWhenMissing_ = false;
};

// The process-wide manager opened on "QVSRMGR_STRINGS"; the source of the manager's own messages.
const StringResource& managerStrings();

// UTF-16 -> UTF-8; lone surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

} // namespace brimwell::serial
