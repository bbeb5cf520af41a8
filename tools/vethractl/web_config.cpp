// The web configuration file: YAML through yaml-cpp, certificates and keys
// through GnuTLS, bcrypt through libxcrypt's crypt(3). yaml-cpp reports
// errors as exceptions; they are caught here and become error texts.
#include "web_config.h"

#include <crypt.h>
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <yaml-cpp/yaml.h>

#include <memory>

namespace {

const char *const CLIENT_AUTH_NAMES[] = {"NoClientCert", "RequestClientCert",
                                         "RequireAnyClientCert", "VerifyClientCertIfGiven",
                                         "RequireAndVerifyClientCert"};

struct TlsVersion {
  const char *name;
  const char *priorities;
};
const TlsVersion TLS_VERSIONS[] = {
    {"TLS10", "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:+VERS-TLS1.1:+VERS-TLS1.0"},
    {"TLS11", "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:+VERS-TLS1.1"},
    {"TLS12", "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2"},
    {"TLS13", "NORMAL:-VERS-ALL:+VERS-TLS1.3"},
};

int Fail(std::string *err, const std::string &key, const std::string &why) {
  *err = key + ": " + why;
  return -1;
}

VTR_FileStamp Stamp(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {path, 0, 0, 0, {}};  // missing: all zero
  return {path, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

// Reads a file named in the configuration (relative to the configuration's
// directory) and records its stamp.
int ReadNamed(const std::string &dir, const std::string &key, const std::string &name,
              VTR_WebConfig *cfg, std::string *text, std::string *err) {
  std::string path = !name.empty() && name[0] != '/' ? dir + name : name;
  cfg->files.push_back(Stamp(path));
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return Fail(err, key, "cannot read " + path + ": " + strerror(errno));
  text->clear();
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text->append(buf, n);
  fclose(f);
  return 0;
}

gnutls_datum_t Datum(const std::string &s) {
  return {(unsigned char *)s.data(), (unsigned)s.size()};
}

// "$2b$" (or 2a, 2y), a cost of 04 to 31, "$", and 53 characters of bcrypt's
// base-64 alphabet: checked by its form, because hashing with it would cost
// the full bcrypt time at every reload.
bool IsBcrypt(const std::string &hash) {
  if (hash.size() != 60 ||
      (hash.compare(0, 4, "$2a$") && hash.compare(0, 4, "$2b$") && hash.compare(0, 4, "$2y$"))) {
    return false;
  }
  int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
  if (!isdigit((unsigned char)hash[4]) || !isdigit((unsigned char)hash[5]) || cost < 4 ||
      cost > 31 || hash[6] != '$') {
    return false;
  }
  return hash.find_first_not_of("./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                                7) == std::string::npos;
}

// The server certificate, its key and the client CAs, checked and imported.
int LoadTls(VTR_WebConfig *cfg, std::string *err) {
  gnutls_datum_t cert = Datum(cfg->certPem), key = Datum(cfg->keyPem);
  cfg->pcertCount = sizeof cfg->pcerts / sizeof cfg->pcerts[0];
  int rc = gnutls_pcert_list_import_x509_raw(cfg->pcerts, &cfg->pcertCount, &cert,
                                             GNUTLS_X509_FMT_PEM, 0);
  if (rc < 0) {
    cfg->pcertCount = 0;
    return Fail(err, "tls_server_config.cert_file",
                std::string("not a PEM certificate: ") + gnutls_strerror(rc));
  }
  if ((rc = gnutls_privkey_init(&cfg->key)) < 0 ||
      (rc = gnutls_privkey_import_x509_raw(cfg->key, &key, GNUTLS_X509_FMT_PEM, nullptr, 0)) < 0) {
    return Fail(err, "tls_server_config.key_file",
                std::string("not a PEM private key: ") + gnutls_strerror(rc));
  }
  gnutls_certificate_credentials_t probe;
  gnutls_certificate_allocate_credentials(&probe);
  rc = gnutls_certificate_set_x509_key_mem2(probe, &cert, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
  gnutls_certificate_free_credentials(probe);
  if (rc < 0)
    return Fail(err, "tls_server_config.key_file",
                std::string("unusable with cert_file: ") + gnutls_strerror(rc));
  if (!cfg->clientCaPem.empty()) {
    gnutls_datum_t ca = Datum(cfg->clientCaPem);
    gnutls_x509_trust_list_init(&cfg->clientCas, 0);
    rc = gnutls_x509_trust_list_add_trust_mem(cfg->clientCas, &ca, nullptr, GNUTLS_X509_FMT_PEM, 0,
                                              0);
    if (rc <= 0) {
      return Fail(err, "tls_server_config.client_ca_file",
                  rc < 0 ? std::string("not PEM certificates: ") + gnutls_strerror(rc)
                         : "holds no certificate");
    }
  }
  return 0;
}

int Parse(const char *path, const YAML::Node &root, VTR_WebConfig *cfg, std::string *err) {
  std::string dir = path;
  dir = dir.find('/') == std::string::npos ? "" : dir.substr(0, dir.rfind('/') + 1);
  if (root.IsNull()) return 0;
  if (!root.IsMap()) return Fail(err, "(top level)", "expected a mapping of keys");
  for (const auto &top : root) {
    std::string key = top.first.as<std::string>();
    const YAML::Node &v = top.second;
    if (key == "basic_auth_users") {
      if (v.IsNull()) continue;
      if (!v.IsMap()) return Fail(err, key, "expected a mapping of user names to bcrypt hashes");
      for (const auto &u : v) {
        std::string user = u.first.as<std::string>();
        if (!u.second.IsScalar() || !IsBcrypt(u.second.as<std::string>())) {
          return Fail(err, key + "." + user,
                      "not a bcrypt hash ($2a$, $2b$ or $2y$, 60 characters)");
        }
        cfg->users[user] = u.second.as<std::string>();
      }
    } else if (key == "tls_server_config") {
      if (v.IsNull()) continue;
      if (!v.IsMap()) return Fail(err, key, "expected a mapping");
      std::string certFile, keyFile, caFile, auth, minVersion = "TLS12";
      for (const auto &t : v) {
        std::string k = t.first.as<std::string>(), full = key + "." + k;
        if (!t.second.IsScalar()) return Fail(err, full, "expected a single value");
        std::string s = t.second.as<std::string>();
        if (k == "cert_file") {
          certFile = s;
        } else if (k == "key_file") {
          keyFile = s;
        } else if (k == "client_ca_file") {
          caFile = s;
        } else if (k == "client_auth_type") {
          auth = s;
        } else if (k == "min_version") {
          minVersion = s;
        } else {
          return Fail(err, full, "unknown key");
        }
      }
      if (certFile.empty()) return Fail(err, key + ".cert_file", "missing");
      if (keyFile.empty()) return Fail(err, key + ".key_file", "missing");
      cfg->tls = true;
      cfg->clientAuth = VTR_CLIENT_NO_CERT;
      bool known = auth.empty();
      for (int i = 0; i < 5 && !known; i++) {
        if (auth == CLIENT_AUTH_NAMES[i]) cfg->clientAuth = (VTR_ClientAuth)i, known = true;
      }
      if (!known) {
        return Fail(
            err, key + ".client_auth_type",
            "unknown value \"" + auth +
                "\" (NoClientCert, RequestClientCert, "
                "RequireAnyClientCert, VerifyClientCertIfGiven or RequireAndVerifyClientCert)");
      }
      if (!caFile.empty() && cfg->clientAuth == VTR_CLIENT_NO_CERT) {
        return Fail(err, key + ".client_ca_file",
                    "given without a client_auth_type that asks for certificates");
      }
      // The server asks clients for certificates only when it has CAs to name.
      if (caFile.empty() && cfg->clientAuth != VTR_CLIENT_NO_CERT) {
        return Fail(err, key + ".client_ca_file", "needed for client_auth_type " + auth);
      }
      for (const TlsVersion &tv : TLS_VERSIONS) {
        if (minVersion == tv.name) cfg->priorities = tv.priorities;
      }
      if (cfg->priorities.empty()) {
        return Fail(err, key + ".min_version",
                    "unknown value \"" + minVersion + "\" (TLS10, TLS11, TLS12 or TLS13)");
      }
      if (ReadNamed(dir, key + ".cert_file", certFile, cfg, &cfg->certPem, err) ||
          ReadNamed(dir, key + ".key_file", keyFile, cfg, &cfg->keyPem, err) ||
          (!caFile.empty() &&
           ReadNamed(dir, key + ".client_ca_file", caFile, cfg, &cfg->clientCaPem, err))) {
        return -1;
      }
      if (LoadTls(cfg, err) != 0) return -1;
    } else {
      return Fail(err, key, "unknown key (tls_server_config and basic_auth_users are known)");
    }
  }
  return 0;
}

}  // namespace

int VTR_LoadWebConfig(const char *path, VTR_WebConfig *out, std::string *err) {
  VTR_FreeWebConfig(out);
  out->files.push_back(Stamp(path));
  if (out->files[0].ino == 0) return Fail(err, path, strerror(errno));
  int rc;
  try {
    rc = Parse(path, YAML::LoadFile(path), out, err);
  } catch (const YAML::Exception &e) {
    rc = Fail(err,
              e.mark.is_null() ? std::string(path)
                               : std::string(path) + ":" + std::to_string(e.mark.line + 1),
              e.msg);
  }
  if (rc != 0) {  // only the stamps stay, to tell when the files change again
    std::vector<VTR_FileStamp> files = std::move(out->files);
    VTR_FreeWebConfig(out);
    out->files = std::move(files);
  }
  return rc;
}

void VTR_FreeWebConfig(VTR_WebConfig *cfg) {
  for (unsigned i = 0; i < cfg->pcertCount; i++) gnutls_pcert_deinit(&cfg->pcerts[i]);
  if (cfg->key) gnutls_privkey_deinit(cfg->key);
  if (cfg->clientCas) gnutls_x509_trust_list_deinit(cfg->clientCas, 1);
  *cfg = VTR_WebConfig{};
}

bool VTR_WebConfigChanged(const VTR_WebConfig &cfg) {
  for (const VTR_FileStamp &f : cfg.files) {
    VTR_FileStamp now = Stamp(f.path);
    if (now.dev != f.dev || now.ino != f.ino || now.size != f.size ||
        now.mtime.tv_sec != f.mtime.tv_sec || now.mtime.tv_nsec != f.mtime.tv_nsec) {
      return true;
    }
  }
  return false;
}

bool VTR_CheckBcrypt(const std::string &password, const std::string &hash) {
  auto data = std::make_unique<crypt_data>();
  const char *out = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
  if (!out || strlen(out) != hash.size()) return false;
  unsigned char diff = 0;  // in constant time
  for (size_t i = 0; i < hash.size(); i++) diff |= (unsigned char)(out[i] ^ hash[i]);
  return diff == 0;
}

int VTR_CheckClientCert(const VTR_WebConfig &cfg, gnutls_session_t session, std::string *err) {
  if (!cfg.tls || cfg.clientAuth == VTR_CLIENT_NO_CERT || cfg.clientAuth == VTR_CLIENT_REQUEST_CERT)
    return 0;
  unsigned n = 0;
  const gnutls_datum_t *peers = gnutls_certificate_get_peers(session, &n);
  if (!peers || n == 0) {
    if (cfg.clientAuth == VTR_CLIENT_VERIFY_CERT_IF_GIVEN) return 0;
    *err = "the client sent no certificate";
    return -1;
  }
  if (cfg.clientAuth == VTR_CLIENT_REQUIRE_ANY_CERT) return 0;
  std::vector<gnutls_x509_crt_t> crts;
  int rc = 0;
  for (unsigned i = 0; i < n && rc >= 0; i++) {
    gnutls_x509_crt_t c;
    gnutls_x509_crt_init(&c);
    crts.push_back(c);
    rc = gnutls_x509_crt_import(c, &peers[i], GNUTLS_X509_FMT_DER);
  }
  unsigned status = 0;
  gnutls_typed_vdata_st purpose{GNUTLS_DT_KEY_PURPOSE_OID,
                                (unsigned char *)GNUTLS_KP_TLS_WWW_CLIENT, 0};
  if (rc >= 0) {
    rc = gnutls_x509_trust_list_verify_crt2(cfg.clientCas, crts.data(), (unsigned)crts.size(),
                                            &purpose, 1, 0, &status, nullptr);
  }
  for (gnutls_x509_crt_t c : crts) gnutls_x509_crt_deinit(c);
  if (rc < 0 || status != 0) {
    *err = "the client certificate is not signed by client_ca_file";
    return -1;
  }
  return 0;
}
