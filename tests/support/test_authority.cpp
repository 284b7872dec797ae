#include "support/test_authority.h"

#include <cstdlib>

TestAuthority::TestAuthority() {
  const std::string script =
      "cd '" + m_dir.Path() +
      "' && "
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
      "-keyout ca.key -out ca.pem -subj '/CN=Kelvane Test CA' 2>/dev/null && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
      "-keyout server.key -out server.csr -subj '/CN=127.0.0.1' 2>/dev/null && "
      "printf 'subjectAltName=IP:127.0.0.1\\n' > ext && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
      "-extfile ext -out server.pem 2>/dev/null";
  m_ready = std::system(script.c_str()) == 0;
}
