# Writes the C++ definition of PUBLIC_KEY from a 2048-byte public key file.
# cmake -DKEY_FILE=<key file> -DOUTPUT=<.cpp> -P embedkey.cmake
file(SIZE "${KEY_FILE}" key_size)
if(NOT key_size EQUAL 2048)
    message(FATAL_ERROR "${KEY_FILE} is ${key_size} bytes long; a key file written by update-sign is 2048 bytes")
endif()
file(READ "${KEY_FILE}" key_hex HEX)
# DER RSAPublicKey of a 1024-bit modulus: SEQUENCE (137 bytes) { INTEGER (129 bytes) ...
string(SUBSTRING "${key_hex}" 0 14 key_head)
if(NOT key_head STREQUAL "30818902818100")
    message(FATAL_ERROR "${KEY_FILE} does not start with the public key of a 1024-bit RSA key pair (use the public key file that update-sign genkey writes)")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," key_bytes "${key_hex}")
string(REPEAT "0x..," 16 row_pattern)
string(REGEX REPLACE "(${row_pattern})" "\\1\n    " key_bytes "${key_bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${KEY_FILE}; do not edit.
#include \"crypto/tomcryptutil.h\"

const unsigned char PUBLIC_KEY[2048] = {
    ${key_bytes}
};
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
