// What a call raised, for one-line checks of an exception's text and code:
//   EXPECT_EQ(testsupport::raised<ofw::IOException>([&] { q.dequeue(); }).what, "...");
#pragma once
#include <string>
#include <type_traits>
#include <utility>

namespace testsupport {

struct Raised {
  bool any = false;
  std::string what = "(nothing raised)";
  int code = -1;  // the exception's code(), when it has one
};

template <class E, class = void>
struct HasCode : std::false_type {};
template <class E>
struct HasCode<E, std::void_t<decltype(std::declval<const E&>().code())>> : std::true_type {};

template <class E>
Raised describe(const E& e) {
  Raised r;
  r.any = true;
  r.what = e.what();
  if constexpr (HasCode<E>::value) r.code = static_cast<int>(e.code());
  return r;
}

// Runs f; an exception of type E is caught and described, any other escapes.
template <class E, class F>
Raised raised(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return describe(e);
  }
  return Raised();
}

}  // namespace testsupport
