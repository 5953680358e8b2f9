// The test program opens every file in binary mode, also where a library
// (GoogleTest reading back what a test or a death test wrote on standard
// error) asks for text mode: the program's CR LF line ends must reach the
// comparisons unchanged.
#include <fcntl.h>
#include <stdlib.h>

namespace mendrix::test {
namespace {

struct TBinaryFiles {
  TBinaryFiles() { _fmode = _O_BINARY; }
};
const TBinaryFiles BinaryFiles;

}  // namespace
}  // namespace mendrix::test
