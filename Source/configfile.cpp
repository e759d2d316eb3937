// External configuration file: whitespace-separated label/value pairs whose
// values fill the capture parameters record in a fixed order. Labels are for
// the reader of the file only; the position of a value decides its field.
#include "configfile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Room in the item table; items beyond it are not stored.
const int CONFIG_MAX_ITEMS = 200;

// A value that holds blanks, tabs or '=' has to be quoted.
const char CONFIG_QUOTE = '"';
const char CONFIG_COMMENT = '#';

struct NumericItem {
    int item;
    unsigned int stInputParameters::*field;
};

// Numeric values, converted with atoi exactly like the command-line options.
const NumericItem NUMERIC_ITEMS[] = {
    {ITEM_DEVICE_NUMBER, &stInputParameters::ulDevice_Number},
    {ITEM_MEDIA_FORMAT, &stInputParameters::ulMediaFormat},
    {ITEM_AUDIO_BITRATE, &stInputParameters::ulAudio_BitRate},
    {ITEM_VIDEO_BITRATE, &stInputParameters::ulVideo_BitRate},
    {ITEM_FRAME_WIDTH, &stInputParameters::ulVideo_Frame_Width},
    {ITEM_FRAME_HEIGHT, &stInputParameters::ulVideo_Frame_Height},
    {ITEM_FRAME_RATE, &stInputParameters::ulVideo_Frame_Rate},
    {ITEM_I_FRAME_INTERVAL, &stInputParameters::ulI_Frame_Interval},
    {ITEM_COLOR, &stInputParameters::ulColor},
    {ITEM_BRIGHTNESS, &stInputParameters::ulBrightness},
    {ITEM_SAVING, &stInputParameters::ulSaving},
    {ITEM_STREAMING, &stInputParameters::ulStreaming},
    {ITEM_TTL, &stInputParameters::ucttl},
    {ITEM_VIDEO_PORT, &stInputParameters::Video_Port},
    {ITEM_AUDIO_PORT, &stInputParameters::Audio_Port},
    {ITEM_SYNC_INTERVAL, &stInputParameters::ulSync_Interval},
    {ITEM_SEGMENT_LENGTH, &stInputParameters::ulSegment_Length},
    {ITEM_SEGMENT_ALIGN, &stInputParameters::ulSegment_Align},
    {ITEM_KEEP_FREE_MIB, &stInputParameters::ulKeep_Free_MiB},
    {ITEM_RTSP_PORT, &stInputParameters::ulRtsp_Port},
    {ITEM_SESSION_TIMEOUT, &stInputParameters::ulSession_Timeout},
    {ITEM_MAX_SESSIONS, &stInputParameters::ulMax_Sessions},
    {ITEM_MAX_CONNECTIONS, &stInputParameters::ulMax_Connections},
    {ITEM_HTTP_PORT, &stInputParameters::ulHttp_Port},
    {ITEM_PUBLISH_TRANSPORT, &stInputParameters::ulPublish_Transport},
};

struct TextItem {
    int item;
    char* (*field)(stInputParameters* input);
    size_t size;
    const char* what;
};

char* ListenAddr(stInputParameters* input) { return input->sListen_Addr; }
char* MulticastGroup(stInputParameters* input) { return input->sMulticast_Group; }
char* CredentialsFile(stInputParameters* input) { return input->sCredentials_File; }
char* WwwDir(stInputParameters* input) { return input->sWww_Dir; }
char* PublishUrl(stInputParameters* input) { return input->sPublish_Url; }

// The text values of the network services: taken as they are, "" included.
const TextItem TEXT_ITEMS[] = {
    {ITEM_LISTEN_ADDR, ListenAddr, NET_ADDR_FIELD_SIZE, "listen address"},
    {ITEM_MULTICAST_GROUP, MulticastGroup, NET_ADDR_FIELD_SIZE, "multicast group"},
    {ITEM_CREDENTIALS_FILE, CredentialsFile, NET_TEXT_FIELD_SIZE, "credentials file"},
    {ITEM_WWW_DIR, WwwDir, NET_TEXT_FIELD_SIZE, "web page directory"},
    {ITEM_PUBLISH_URL, PublishUrl, NET_TEXT_FIELD_SIZE, "publish URL"},
};

struct ItemTable {
    char* items[CONFIG_MAX_ITEMS];
    int count;
};

void StoreItem(ItemTable* table, char* start)
{
    if (table->count < CONFIG_MAX_ITEMS)
        table->items[table->count++] = start;
}

// Splits the text into items in place: separators, quotes and comments are
// overwritten with NUL bytes and each item's first byte is recorded.
// buf[bufsize] must be a NUL byte (an opening quote as the last byte starts
// an empty item there).
void Tokenize(char* buf, int bufsize, ItemTable* table)
{
    bool inString = false;
    bool inItem = false;

    for (int i = 0; i < bufsize; i++) {
        switch (buf[i]) {
        case '\t':
        case ' ':
        case '=':
            if (!inString) {
                buf[i] = '\0';
                inItem = false;
            }
            break;
        case '\n':
            buf[i] = '\0';
            inItem = false;
            inString = false;
            break;
        case '\r':
            // Left in place: a CR LF file keeps the CR at the end of an
            // unquoted value.
            break;
        case CONFIG_QUOTE:
            buf[i] = '\0';
            if (!inString) {
                StoreItem(table, buf + i + 1);
                inItem = !inItem;
                inString = true;
            } else {
                inItem = false;
                inString = false;
            }
            break;
        case CONFIG_COMMENT:
            buf[i] = '\0';
            while (i + 1 < bufsize && buf[i + 1] != '\n')
                i++;
            inItem = false;
            inString = false;
            break;
        default:
            if (!inItem) {
                StoreItem(table, buf + i);
                inItem = true;
            }
            break;
        }
    }
}

// A text value that does not fit its field is refused rather than cut: a
// shortened address would send the streams to another host.
bool FitsField(const ItemTable& table, int item, size_t fieldSize, const char* what)
{
    if (item >= table.count || strlen(table.items[item]) < fieldSize)
        return true;
    printf("Value of configuration item %d (%s) is longer than %u characters.\n",
           item, what, (unsigned int)(fieldSize - 1));
    return false;
}

// Stores the values in the record. A field whose item is missing keeps its
// current value. Returns 1, or -1 when a text value is too long (nothing is
// stored then).
int ParseConfig(char* buf, int bufsize, stInputParameters* input)
{
    ItemTable table;
    table.count = 0;
    Tokenize(buf, bufsize, &table);

    if (!FitsField(table, ITEM_OUTPUT_FILENAME, FILENAME_FIELD_SIZE, "file name") ||
        !FitsField(table, ITEM_IP_ADDR, IP_ADDR_FIELD_SIZE, "destination address") ||
        !FitsField(table, ITEM_SDP_FILE, FILENAME_FIELD_SIZE, "session description file"))
        return -1;
    for (const TextItem& text : TEXT_ITEMS) {
        if (!FitsField(table, text.item, text.size, text.what))
            return -1;
    }

    for (const NumericItem& numeric : NUMERIC_ITEMS) {
        if (numeric.item < table.count)
            input->*numeric.field = (unsigned int)atoi(table.items[numeric.item]);
    }
    // An empty file name keeps the time-stamp name; an empty address is taken.
    if (ITEM_OUTPUT_FILENAME < table.count && table.items[ITEM_OUTPUT_FILENAME][0] != '\0')
        strcpy(input->sOutput_Filename, table.items[ITEM_OUTPUT_FILENAME]);
    if (ITEM_IP_ADDR < table.count)
        strcpy(input->IP_Addr, table.items[ITEM_IP_ADDR]);
    // An empty name writes no session description.
    if (ITEM_SDP_FILE < table.count)
        strcpy(input->sSdp_File, table.items[ITEM_SDP_FILE]);
    for (const TextItem& text : TEXT_ITEMS) {
        if (text.item < table.count)
            strcpy(text.field(input), table.items[text.item]);
    }
    return 1;
}

}  // namespace

char* GetConfigFileContent(char* Filename)
{
    FILE* file = fopen(Filename, "rb");
    if (file == NULL) {
        printf("\nCannot open configuration file %s", Filename);
        return NULL;
    }
    if (fseek(file, 0, SEEK_END) != 0)
        printf("cannot seek the file");
    long size = ftell(file);
    if (size < 0) {
        printf("\nUnreasonable filesize returned %ld", size);
        fclose(file);
        return NULL;
    }
    if (fseek(file, 0, SEEK_SET) != 0)
        printf("\ncannot seek set the file");

    char* buffer = (char*)malloc((size_t)size + 1);
    if (buffer == NULL) {
        printf("\nConfig File Memory not allocated");
        fclose(file);
        return NULL;
    }
    size_t bytesRead = fread(buffer, 1, (size_t)size, file);
    buffer[bytesRead] = '\0';
    fclose(file);
    return buffer;
}

int Configure(char* cfgFileName, stInputParameters* input)
{
    printf("Parsing Config File %s....\n", cfgFileName);
    char* content = GetConfigFileContent(cfgFileName);
    if (content == NULL) {
        printf("\nError No Config File found");
        return -1;
    }
    // A NUL byte inside the file ends the text that is parsed.
    int result = ParseConfig(content, (int)strlen(content), input);
    free(content);
    return result;
}
