// A non-owning reference to a callable: the engine's hooks are passed as
// these so that a call costs one indirect jump and no allocation.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace ordwyne {

template <class Sig>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    FunctionRef() = default;

    // The callable must outlive every call made through this reference.
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
                 std::is_invocable_r_v<R, F&, Args...>)
    FunctionRef(F&& f)  // NOLINT: implicit on purpose, like a function pointer
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(
                  std::forward<Args>(args)...);
          }) {}

    explicit operator bool() const { return call_ != nullptr; }

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_ = nullptr;
    R (*call_)(void*, Args...) = nullptr;
};

}  // namespace ordwyne
