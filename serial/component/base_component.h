// Common base of the serial and terminal components: the version property and the loading state
// during which property setters only store their values.
#pragma once

#include <string>

namespace brimwell::serial {

class Component {
  public:
    virtual ~Component() = default;

    std::string version() const { return "v4.05"; }
    void setVersion(const std::string&) {}

    // Loading: the owner is assigning the stored configuration. Setters store only; Loaded() ends
    // it and lets the component act on what was stored (for a port: open when Open was set).
    void beginLoading() { loading_ = true; }
    void endLoading() {
        if (!loading_) return;
        loading_ = false;
        loaded();
    }
    bool isLoading() const { return loading_; }
    // Designing never happens in this program; kept so the loading rules read as written.
    bool isDesigning() const { return false; }
    bool isDestroying() const { return destroying_; }

  protected:
    virtual void loaded() {}
    void setDestroying() { destroying_ = true; }

  private:
    bool loading_ = false;
    bool destroying_ = false;
};

} // namespace brimwell::serial
