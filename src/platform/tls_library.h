// The OpenSSL functions the TLS layer calls, as one table of function pointers. The daemon
// opens libssl.so.3 (which brings libcrypto.so.3) with dlopen the first time a context is
// loaded, so that a daemon whose settings name no TLS files neither maps the libraries nor pays
// their relocations. The programs are not linked with OpenSSL at all; its headers give the
// functions' types.
//
// Only functions that the library exports may be in the table: what the headers define as
// macros (SSL_CTX_set_min_proto_version, BIO_set_retry_read, sk_GENERAL_NAME_num, ...) is
// written out in the TLS layer through the functions they expand to (SSL_CTX_ctrl,
// BIO_set_flags, OPENSSL_sk_num), since a macro would bind its function at link time.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

// clang-format off
#define TLS_LIBRARY_FUNCTIONS(F)                                                              \
  F(ASN1_STRING_get0_data) F(ASN1_STRING_length)                                              \
  F(BIO_clear_flags) F(BIO_free) F(BIO_get_data) F(BIO_get_new_index) F(BIO_meth_new)         \
  F(BIO_meth_set_create) F(BIO_meth_set_ctrl) F(BIO_meth_set_read) F(BIO_meth_set_write)      \
  F(BIO_new) F(BIO_new_mem_buf) F(BIO_set_data) F(BIO_set_flags) F(BIO_set_init)              \
  F(ERR_clear_error) F(ERR_peek_last_error) F(ERR_reason_error_string)                        \
  F(EVP_PKEY_free) F(GENERAL_NAMES_free) F(OPENSSL_sk_num) F(OPENSSL_sk_value)                \
  F(PEM_read_bio_PrivateKey) F(PEM_read_bio_X509) F(PEM_read_bio_X509_AUX)                    \
  F(SSL_CIPHER_get_name) F(SSL_CTX_check_private_key) F(SSL_CTX_ctrl) F(SSL_CTX_free)         \
  F(SSL_CTX_get_cert_store) F(SSL_CTX_new) F(SSL_CTX_set_num_tickets) F(SSL_CTX_set_options)  \
  F(SSL_CTX_set_verify) F(SSL_CTX_use_PrivateKey) F(SSL_CTX_use_certificate) F(SSL_ctrl)      \
  F(SSL_do_handshake) F(SSL_free) F(SSL_get0_peer_certificate) F(SSL_get_current_cipher)      \
  F(SSL_get_error) F(SSL_get_verify_result) F(SSL_get_version) F(SSL_has_pending) F(SSL_new)  \
  F(SSL_pending) F(SSL_read_ex) F(SSL_set1_host) F(SSL_set_accept_state) F(SSL_set_bio)       \
  F(SSL_set_connect_state) F(SSL_shutdown) F(SSL_write_ex) F(TLS_method)                      \
  F(X509_NAME_ENTRY_get_data) F(X509_NAME_get_entry) F(X509_NAME_get_index_by_NID)            \
  F(X509_STORE_CTX_get_current_cert) F(X509_STORE_CTX_get_error_depth)                        \
  F(X509_STORE_CTX_set_error) F(X509_STORE_add_cert) F(X509_free) F(X509_get_ext_d2i)         \
  F(X509_get_extension_flags) F(X509_get_subject_name) F(X509_verify_cert_error_string)
// clang-format on

// One pointer per function, named as the function; all empty until a load fills them.
struct tls_library {
#define TLS_LIBRARY_SLOT(name) decltype(&::name) name = nullptr;
  TLS_LIBRARY_FUNCTIONS(TLS_LIBRARY_SLOT)
#undef TLS_LIBRARY_SLOT
};

// The library that is opened at run time.
constexpr const char* TLS_LIBRARY_NAME = "libssl.so.3";

// Opens the shared library `name` and fills `lib` with its functions (libcrypto's come through
// libssl's own dependencies). Returns false with `problem` saying why, in the loader's words
// that name the library ("libssl.so.3: cannot open shared object file: No such file or
// directory"), when it cannot be opened or lacks a function; `lib` is then unchanged. An
// opened library stays open for the life of the process.
bool tls_library_open(tls_library& lib, const char* name, std::string& problem);

// The process's table, filled by the first call that succeeds (a failed one is tried again at
// the next call: the library may have been installed meanwhile). nullptr, with `problem` as
// tls_library_open says it, when the library cannot be opened.
const tls_library* tls_library_load(std::string& problem);

// The table filled before. REQUIRES: tls_library_load has succeeded.
const tls_library& tls_lib();
