#pragma once

// Every libssh handle has one owner that frees it, one way.

#include "Connection.h"

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <memory>

namespace velmora::sftp {

using engine::FreeWith;

using SshPtr = std::unique_ptr<ssh_session_struct, FreeWith<ssh_free>>;
using SftpPtr = std::unique_ptr<sftp_session_struct, FreeWith<sftp_free>>;
using FilePtr = std::unique_ptr<sftp_file_struct, FreeWith<sftp_close>>;   // tells the server too
using DirPtr = std::unique_ptr<sftp_dir_struct, FreeWith<sftp_closedir>>;  // tells the server too
using AttributesPtr = std::unique_ptr<sftp_attributes_struct, FreeWith<sftp_attributes_free>>;
using KeyPtr = std::unique_ptr<ssh_key_struct, FreeWith<ssh_key_free>>;
using TextPtr = std::unique_ptr<char, FreeWith<ssh_string_free_char>>;

}  // namespace velmora::sftp
