# The warning flags of every target we compile, the fuzz builds included; warnings are
# errors.
set(TARVIK_WARNING_FLAGS
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion
  # Off: clang's -Wconversion includes sign changes, g++'s does not in C++. The fuzz builds
  # (clang) would otherwise judge the code by a rule the g++ builds never apply, on every
  # iterator difference stored as a size.
  -Wno-sign-conversion
  -Werror)
# Third-party code built from its source tree (GoogleTest in the Windows build) gets -w where
# it is added: its warnings are not ours to mend.
