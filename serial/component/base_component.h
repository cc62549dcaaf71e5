// Common base of the serial and terminal components: the version property and the loading state
// during which property setters only store their values.
#pragma once

#include <string>

namespace brimwell {

class TQuavBaseComponent {
  public:
    virtual ~TQuavBaseComponent() = default;

    std::string Version() const { return "v4.05"; }
    void SetVersion(const std::string&) {}

    // Loading: the owner is assigning the stored configuration. Setters store only; Loaded() ends
    // it and lets the component act on what was stored (for a port: open when Open was set).
    void BeginLoading() { loading_ = true; }
    void EndLoading() {
        if (!loading_) return;
        loading_ = false;
        Loaded();
    }
    bool IsLoading() const { return loading_; }
    // Designing never happens in this program; kept so the loading rules read as written.
    bool IsDesigning() const { return false; }
    bool IsDestroying() const { return destroying_; }

  protected:
    virtual void Loaded() {}
    void SetDestroying() { destroying_ = true; }

  private:
    bool loading_ = false;
    bool destroying_ = false;
};

} // namespace brimwell
