// How a run finds its pairs: the search's fixed work, or the sieve method.
#pragma once

namespace friendly {

// The method of a run (--method=NAME): search, the default, or sieve.
enum class Method { search, sieve };

// The name of method as the option and the report write it.
constexpr const char* method_name(Method method) noexcept {
  return method == Method::sieve ? "sieve" : "search";
}

}  // namespace friendly
