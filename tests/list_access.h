#pragma once
// The first and last entries of a list without undefined behaviour: an empty
// list gives a default value, so a test fails on it instead of crashing.

namespace flash3::testing {

template <typename List>
auto firstOf(const List& list)
{
    return list.value(0);
}

template <typename List>
auto lastOf(const List& list)
{
    return list.value(list.size() - 1);
}

} // namespace flash3::testing
