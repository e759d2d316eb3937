// Authentication of the network services: the credentials file (-E), and
// HTTP authentication as RTSP and HTTP use it: Digest with MD5 (RFC 7616,
// compatible with RFC 2617 clients that send no qop) and Basic (RFC 7617).
//
// The file holds one user a line, "user:password", or "user:realm:HA1" as
// Apache's htdigest writes it (HA1 = MD5(user:realm:password), 32 hex
// digits); blank lines and lines starting with '#' are passed over. It is
// read once; with it every request must authenticate, without it the
// servers serve anyone. The realm is that of the htdigest lines (all the
// same) or AUTH_DEFAULT_REALM.
//
// Server side: AuthCheck a request, and on AUTH_NEEDED, AUTH_DENIED or
// AUTH_STALE answer 401 with AuthPutChallenge. Nonces carry their time and
// a keyed digest of it, so the server keeps no nonce table; one older than
// AUTH_NONCE_LIFETIME_S is answered as stale, and the client retries with
// a new one without asking its user again.
//
// Client side (the publisher): AuthClientTake the challenge of a 401, then
// AuthClientPut an Authorization header on every later request.
#ifndef VOZIREV_AUTH_H
#define VOZIREV_AUTH_H

#include "Types.h"
#include "textproto.h"

const UINT32 AUTH_MAX_USERS = 64;
const UINT32 AUTH_FIELD_SIZE = 128;
const char* const AUTH_DEFAULT_REALM = "Vozirev";
const INT64 AUTH_NONCE_LIFETIME_S = 600;

// Reads the credentials file once. 1 read, 0 when szPath is "" (no
// authentication), -1 when it cannot be used (the reason is printed).
int AuthLoad(const char* szPath);
// Whether requests must authenticate.
bool AuthRequired();
const char* AuthRealm();
// Forgets the users (a new run in the same process).
void AuthReset();
// The password of a user the file gives as "user:password", for a client
// that answers a server's challenge (an "user:realm:HA1" line holds none).
// False when the user has no such line or it does not fit ulSize.
bool AuthUserPassword(const char* szUser, char* szPassword, UINT32 ulSize);

enum tAuthResult { AUTH_OK, AUTH_NEEDED, AUTH_DENIED, AUTH_STALE };

// The request's Authorization header against the users. szMethod is the
// request's method (the Digest response covers it and the digest's uri,
// which must be the request's target). With no users, AUTH_OK.
tAuthResult AuthCheck(const tTextMessage* pRequest);
// The WWW-Authenticate headers of a 401: Digest first (stale=true when the
// client's nonce had expired), then Basic.
void AuthPutChallenge(tTextOut* pOut, bool bStale);

// What a server's 401 asked of the publisher.
struct tAuthClient {
    bool bDigest;
    bool bBasic;
    char szRealm[AUTH_FIELD_SIZE];
    char szNonce[AUTH_FIELD_SIZE];
    char szOpaque[AUTH_FIELD_SIZE];
    bool bQopAuth;
    bool bStale;          // the nonce of the credentials sent had expired (RFC 7616, 3.3)
    UINT32 ulNonceCount;
};
// Takes the challenge of a 401 response (Digest preferred). False when it
// offers neither scheme.
bool AuthClientTake(tAuthClient* pClient, const tTextMessage* pResponse);
// The Authorization header line for a request, when a challenge was taken.
void AuthClientPut(tAuthClient* pClient, tTextOut* pOut, const char* szMethod, const char* szUri,
                   const char* szUser, const char* szPassword);

#endif
