#pragma once
#include <string>
#include <string_view>

namespace records {

// Where the certificate store keeps a certificate, relative to the output directory:
// ab/cd/abcd....pem for the SHA-1 digest (lower-case hex) of its DER bytes. Two levels of
// 256 folders keep each folder small.
std::string certificateRelativePath(std::string_view digest);

// The same under dir.
std::string certificatePath(std::string_view dir, std::string_view digest);

}  // namespace records
