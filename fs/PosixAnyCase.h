// Host names found as Windows finds names: without regard to case. An exact name costs what it
// always did; only when there is no entry by the exact name is the folder read, looking for
// one that equals it once both are upper-cased as Windows upper-cases names. When several do,
// the first in byte order is taken.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace calendario {

// The entry of folder `dirfd` whose name equals `name` without regard to case (the exact one
// included), the first in byte order when several do; "" when none does or the folder cannot
// be read. May throw std::bad_alloc.
std::string FindAnyCase(int dirfd, std::string_view name);

// openat, fstatat and unlinkat on `name` in `dirfd`; when no entry has that exact name, on the
// one FindAnyCase finds instead, whose name `name` then becomes. -1 with errno on failure.
int OpenAtAnyCase(int dirfd, std::string& name, int flags);
int StatAtAnyCase(int dirfd, std::string& name, struct stat& st);
int UnlinkAtAnyCase(int dirfd, std::string& name);

}  // namespace calendario
