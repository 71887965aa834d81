#pragma once

#include <concepts>
#include <type_traits>
#include <utility>
#include <variant>

namespace sonvel {

// Base for the system's enumerations with payloads: a value is exactly one of
// `Cases`, each a small struct that compares field by field. Deriving types
// add their own behaviour (titles, helpers) and name their cases as nested
// aliases, so callers write `ControlGate::Paused{}` rather than raw variants.
template <class... Cases>
struct OneOf {
    using Value = std::variant<Cases...>;
    Value value;

    template <class T>
    requires(std::same_as<std::remove_cvref_t<T>, Cases> || ...) OneOf(T&& c)
        : value(std::forward<T>(c)) {}  // NOLINT(google-explicit-constructor)

    template <class T>
    [[nodiscard]] bool is() const {
        return std::holds_alternative<T>(value);
    }

    template <class T>
    [[nodiscard]] const T* as() const {
        return std::get_if<T>(&value);
    }

    template <class Visitor>
    decltype(auto) visit(Visitor&& visitor) const {
        return std::visit(std::forward<Visitor>(visitor), value);
    }

    bool operator==(const OneOf&) const = default;
};

// Builds one visitor out of several lambdas, one per case.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

}  // namespace sonvel
