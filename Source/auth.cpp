// Credentials and HTTP authentication (RFC 7616, RFC 7617) for the
// network services.
#include "auth.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "base64.h"
#include "md5.h"

namespace {

struct tUser {
    char szName[AUTH_FIELD_SIZE];
    char szPassword[AUTH_FIELD_SIZE];  // "" when only HA1 is known
    char szHa1[MD5_HEX_SIZE];
};

tUser users[AUTH_MAX_USERS];
UINT32 userCount = 0;
char realm[AUTH_FIELD_SIZE] = "";
// The key of the nonces' digests, drawn once per run.
char nonceKey[2 * MD5_DIGEST_SIZE + 1] = "";
const UINT32 NONCE_TIME_DIGITS = 8;
const UINT32 LINE_MAX = 512;

bool IsHex(const char* sz, size_t n)
{
    if (strlen(sz) != n)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!((sz[i] >= '0' && sz[i] <= '9') || (sz[i] >= 'a' && sz[i] <= 'f') || (sz[i] >= 'A' && sz[i] <= 'F')))
            return false;
    return true;
}

// Compares without stopping at the first difference, so that the time a
// wrong answer takes says nothing about how much of it was right.
bool SameText(const char* a, const char* b)
{
    size_t na = strlen(a), nb = strlen(b);
    unsigned char diff = na == nb ? 0 : 1;
    for (size_t i = 0; i < na && i < nb; i++)
        diff |= (unsigned char)(a[i] ^ b[i]);
    return diff == 0;
}

void DrawNonceKey()
{
    UINT8 random[MD5_DIGEST_SIZE] = {};
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    ssize_t got = fd >= 0 ? read(fd, random, sizeof(random)) : -1;
    if (fd >= 0)
        close(fd);
    if (got != (ssize_t)sizeof(random)) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        snprintf((char*)random, sizeof(random), "%lx%x", (long)now.tv_nsec, (unsigned int)getpid());
    }
    for (UINT32 i = 0; i < MD5_DIGEST_SIZE; i++)
        snprintf(nonceKey + 2 * i, 3, "%02x", random[i]);
}

void Ha1Of(const char* szUser, const char* szPassword, char szHa1[MD5_HEX_SIZE])
{
    const char* parts[] = {szUser, realm, szPassword};
    Md5HexJoined(parts, 3, szHa1);
}

// One line: "user:password" or "user:realm:HA1". -1 for a line that is
// neither, or a realm other than the file's.
int TakeLine(char* szLine)
{
    char* first = strchr(szLine, ':');
    if (first == nullptr || first == szLine || userCount == AUTH_MAX_USERS)
        return -1;
    *first = '\0';
    tUser& user = users[userCount];
    memset(&user, 0, sizeof(user));
    if (strlen(szLine) >= sizeof(user.szName))
        return -1;
    strcpy(user.szName, szLine);
    char* rest = first + 1;
    char* second = strrchr(rest, ':');
    if (second != nullptr && IsHex(second + 1, 2 * MD5_DIGEST_SIZE)) {
        *second = '\0';
        if (realm[0] != '\0' && strcmp(realm, rest) != 0)
            return -1;
        snprintf(realm, sizeof(realm), "%s", rest);
        for (UINT32 i = 0; i < 2 * MD5_DIGEST_SIZE; i++)
            user.szHa1[i] = (char)(second[1 + i] | 0x20);  // lower case
    } else if (strlen(rest) < sizeof(user.szPassword)) {
        strcpy(user.szPassword, rest);
    } else {
        return -1;
    }
    userCount++;
    return 0;
}

const tUser* FindUser(const char* szName)
{
    for (UINT32 i = 0; i < userCount; i++)
        if (strcmp(users[i].szName, szName) == 0)
            return &users[i];
    return nullptr;
}

// HA1 of a user: from the file, or from the password and the realm.
void UserHa1(const tUser* user, char szHa1[MD5_HEX_SIZE])
{
    if (user->szHa1[0] != '\0')
        snprintf(szHa1, MD5_HEX_SIZE, "%s", user->szHa1);
    else
        Ha1Of(user->szName, user->szPassword, szHa1);
}

INT64 NowSeconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (INT64)now.tv_sec;
}

void NonceFor(INT64 llSeconds, char* szNonce, size_t size)
{
    char time[NONCE_TIME_DIGITS + 1];
    snprintf(time, sizeof(time), "%08x", (unsigned int)llSeconds);
    char mac[MD5_HEX_SIZE];
    const char* parts[] = {nonceKey, time};
    Md5HexJoined(parts, 2, mac);
    snprintf(szNonce, size, "%s%s", time, mac);
}

// 1 fresh, 0 ours but expired, -1 not ours.
int NonceState(const char* szNonce)
{
    if (strlen(szNonce) != NONCE_TIME_DIGITS + 2 * MD5_DIGEST_SIZE || !IsHex(szNonce, strlen(szNonce)))
        return -1;
    unsigned int issued = 0;
    if (sscanf(szNonce, "%8x", &issued) != 1)
        return -1;
    char expected[AUTH_FIELD_SIZE];
    NonceFor(issued, expected, sizeof(expected));
    if (!SameText(expected, szNonce))
        return -1;
    UINT32 age = (UINT32)NowSeconds() - issued;
    return age <= (UINT32)AUTH_NONCE_LIFETIME_S ? 1 : 0;
}

bool Param(const tTextSpan& list, const char* szName, char* szOut)
{
    tTextSpan value;
    if (!TextParameter(list, szName, &value) || value.ulSize >= AUTH_FIELD_SIZE)
        return false;
    TextCopy(value, szOut, AUTH_FIELD_SIZE);
    return true;
}

// response = H(HA1:nonce:HA2), or H(HA1:nonce:nc:cnonce:qop:HA2) with qop.
void DigestResponse(const char* szHa1, const char* szNonce, const char* szNc, const char* szCnonce,
                    const char* szQop, const char* szMethod, const char* szUri, char szOut[MD5_HEX_SIZE])
{
    char ha2[MD5_HEX_SIZE];
    const char* a2[] = {szMethod, szUri};
    Md5HexJoined(a2, 2, ha2);
    if (szQop[0] != '\0') {
        const char* parts[] = {szHa1, szNonce, szNc, szCnonce, szQop, ha2};
        Md5HexJoined(parts, 6, szOut);
    } else {
        const char* parts[] = {szHa1, szNonce, ha2};
        Md5HexJoined(parts, 3, szOut);
    }
}

tAuthResult CheckDigest(const tTextSpan& params, const tTextMessage* req)
{
    char user[AUTH_FIELD_SIZE], nonce[AUTH_FIELD_SIZE], uri[AUTH_FIELD_SIZE], response[AUTH_FIELD_SIZE];
    char qop[AUTH_FIELD_SIZE] = "", nc[AUTH_FIELD_SIZE] = "", cnonce[AUTH_FIELD_SIZE] = "";
    char method[AUTH_FIELD_SIZE], theirRealm[AUTH_FIELD_SIZE];
    if (!Param(params, "username", user) || !Param(params, "nonce", nonce) || !Param(params, "uri", uri) ||
        !Param(params, "response", response) || !Param(params, "realm", theirRealm))
        return AUTH_DENIED;
    if (Param(params, "qop", qop) && (strcasecmp(qop, "auth") != 0 || !Param(params, "nc", nc) ||
                                      !Param(params, "cnonce", cnonce)))
        return AUTH_DENIED;
    const tUser* found = FindUser(user);
    if (found == nullptr || strcmp(theirRealm, realm) != 0 || !TextIs(req->stTarget, uri))
        return AUTH_DENIED;
    int state = NonceState(nonce);
    if (state < 0)
        return AUTH_NEEDED;
    TextCopy(req->stMethod, method, sizeof(method));
    char ha1[MD5_HEX_SIZE], expected[MD5_HEX_SIZE];
    UserHa1(found, ha1);
    DigestResponse(ha1, nonce, nc, cnonce, qop, method, uri, expected);
    for (char* p = response; *p != '\0'; p++)
        *p = (char)(*p >= 'A' && *p <= 'F' ? *p | 0x20 : *p);
    if (!SameText(expected, response))
        return AUTH_DENIED;
    return state == 1 ? AUTH_OK : AUTH_STALE;
}

tAuthResult CheckBasic(const tTextSpan& credentials)
{
    UINT8 decoded[2 * AUTH_FIELD_SIZE + 1];
    int n = Base64Decode(credentials.pc, credentials.ulSize, decoded, sizeof(decoded) - 1);
    if (n < 0)
        return AUTH_DENIED;
    decoded[n] = '\0';
    char* text = (char*)decoded;
    char* colon = strchr(text, ':');
    if (colon == nullptr || strlen(text) != (size_t)n)
        return AUTH_DENIED;
    *colon = '\0';
    const tUser* found = FindUser(text);
    if (found == nullptr)
        return AUTH_DENIED;
    char ha1[MD5_HEX_SIZE], theirs[MD5_HEX_SIZE];
    UserHa1(found, ha1);
    Ha1Of(text, colon + 1, theirs);
    return SameText(ha1, theirs) ? AUTH_OK : AUTH_DENIED;
}

}  // namespace

void AuthReset()
{
    memset(users, 0, sizeof(users));
    userCount = 0;
    realm[0] = '\0';
}

int AuthLoad(const char* szPath)
{
    AuthReset();
    if (szPath == nullptr || szPath[0] == '\0')
        return 0;
    FILE* file = fopen(szPath, "re");
    if (file == nullptr) {
        printf("\nCannot read the credentials file %s: %s\n", szPath, strerror(errno));
        return -1;
    }
    char line[LINE_MAX];
    int number = 0, result = 1;
    while (result == 1 && fgets(line, sizeof(line), file) != nullptr) {
        number++;
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == '\0' || line[0] == '#')
            continue;
        if (TakeLine(line) != 0) {
            printf("\nCannot read the credentials file %s: line %d is not \"user:password\" or "
                   "\"user:realm:HA1\" of the file's one realm (at most %u users).\n",
                   szPath, number, AUTH_MAX_USERS);
            result = -1;
        }
    }
    fclose(file);
    if (result == 1 && userCount == 0) {
        printf("\nCannot read the credentials file %s: it names no user.\n", szPath);
        result = -1;
    }
    if (result != 1) {
        AuthReset();
        return -1;
    }
    if (realm[0] == '\0')
        snprintf(realm, sizeof(realm), "%s", AUTH_DEFAULT_REALM);
    DrawNonceKey();
    return 1;
}

bool AuthUserPassword(const char* szUser, char* szPassword, UINT32 ulSize)
{
    const tUser* user = FindUser(szUser);
    if (user == nullptr || user->szHa1[0] != '\0' || strlen(user->szPassword) >= ulSize)
        return false;
    snprintf(szPassword, ulSize, "%s", user->szPassword);
    return true;
}

bool AuthRequired()
{
    return userCount > 0;
}

const char* AuthRealm()
{
    return realm;
}

tAuthResult AuthCheck(const tTextMessage* pRequest)
{
    if (!AuthRequired())
        return AUTH_OK;
    const tTextHeader* header = TextFind(pRequest, "Authorization");
    if (header == nullptr)
        return AUTH_NEEDED;
    const tTextSpan& value = header->stValue;
    const char* space = (const char*)memchr(value.pc, ' ', value.ulSize);
    if (space == nullptr)
        return AUTH_DENIED;
    tTextSpan scheme = {value.pc, (UINT32)(space - value.pc)};
    tTextSpan rest = {space + 1, value.ulSize - scheme.ulSize - 1};
    if (TextIs(scheme, "Digest"))
        return CheckDigest(rest, pRequest);
    if (TextIs(scheme, "Basic"))
        return CheckBasic(rest);
    return AUTH_NEEDED;
}

void AuthPutChallenge(tTextOut* pOut, bool bStale)
{
    char nonce[AUTH_FIELD_SIZE];
    NonceFor(NowSeconds(), nonce, sizeof(nonce));
    TextPut(pOut, "WWW-Authenticate: Digest realm=\"%s\", nonce=\"%s\", algorithm=MD5, qop=\"auth\"%s\r\n", realm,
            nonce, bStale ? ", stale=true" : "");
    TextPut(pOut, "WWW-Authenticate: Basic realm=\"%s\"\r\n", realm);
}

bool AuthClientTake(tAuthClient* pClient, const tTextMessage* pResponse)
{
    tAuthClient client = tAuthClient();
    for (UINT32 i = 0; i < pResponse->ulHeaderCount; i++) {
        const tTextHeader& h = pResponse->stHeaders[i];
        if (!TextIs(h.stName, "WWW-Authenticate") || h.stValue.ulSize < 6)
            continue;
        if (strncasecmp(h.stValue.pc, "Digest ", 7) == 0 && !client.bDigest) {
            if (!Param(h.stValue, "realm", client.szRealm) || !Param(h.stValue, "nonce", client.szNonce))
                continue;
            Param(h.stValue, "opaque", client.szOpaque);
            char qop[AUTH_FIELD_SIZE] = "";
            client.bQopAuth = Param(h.stValue, "qop", qop) && strstr(qop, "auth") != nullptr;
            char stale[AUTH_FIELD_SIZE] = "";
            client.bStale = Param(h.stValue, "stale", stale) && strcasecmp(stale, "true") == 0;
            client.bDigest = true;
        } else if (strncasecmp(h.stValue.pc, "Basic", 5) == 0) {
            client.bBasic = true;
        }
    }
    if (!client.bDigest && !client.bBasic)
        return false;
    *pClient = client;
    return true;
}

void AuthClientPut(tAuthClient* pClient, tTextOut* pOut, const char* szMethod, const char* szUri,
                   const char* szUser, const char* szPassword)
{
    if (pClient->bDigest) {
        char ha1[MD5_HEX_SIZE], response[MD5_HEX_SIZE], nc[9] = "", cnonce[17] = "";
        const char* a1[] = {szUser, pClient->szRealm, szPassword};
        Md5HexJoined(a1, 3, ha1);
        if (pClient->bQopAuth) {
            snprintf(nc, sizeof(nc), "%08x", ++pClient->ulNonceCount);
            snprintf(cnonce, sizeof(cnonce), "%08x%08x", (unsigned int)NowSeconds(), pClient->ulNonceCount);
        }
        DigestResponse(ha1, pClient->szNonce, nc, cnonce, pClient->bQopAuth ? "auth" : "", szMethod, szUri, response);
        TextPut(pOut, "Authorization: Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\", response=\"%s\"",
                szUser, pClient->szRealm, pClient->szNonce, szUri, response);
        if (pClient->szOpaque[0] != '\0')
            TextPut(pOut, ", opaque=\"%s\"", pClient->szOpaque);
        if (pClient->bQopAuth)
            TextPut(pOut, ", qop=auth, nc=%s, cnonce=\"%s\"", nc, cnonce);
        TextPut(pOut, "\r\n");
        return;
    }
    if (pClient->bBasic) {
        char plain[2 * AUTH_FIELD_SIZE + 2];
        char encoded[sizeof(plain) / 3 * 4 + 8];
        int n = snprintf(plain, sizeof(plain), "%s:%s", szUser, szPassword);
        if (n > 0 && (size_t)n < sizeof(plain)) {
            Base64Encode((const UINT8*)plain, (UINT32)n, encoded);
            TextPut(pOut, "Authorization: Basic %s\r\n", encoded);
        }
    }
}
