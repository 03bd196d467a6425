# The warning flags of every target we compile, the fuzz builds included. Warnings are errors.
set(TARVIK_WARNING_FLAGS
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion
  # Off: the C sources (the DLL caller) mix size_t lengths with int counts of the C interface
  # on purpose; in C++ -Wconversion leaves sign changes out anyway, so this only keeps C and
  # C++ judged alike.
  -Wno-sign-conversion
  -Werror)
# Third-party sources built from their source tree (GoogleTest in the Windows build) get -w
# where they are added: their warnings are not ours to mend.
