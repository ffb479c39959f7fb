// The whole-catalog advanced search collected as one json-c reply object, the way a reply built
// in one piece would hold it, for the browse benchmark to set beside the streamed reply. Prints the
// rows, the reply's length and this process's peak resident memory. Run under QLM_ROOT:
//
//     bench_browse_list ACCOUNT TASK_ID
#include <sys/resource.h>

#include <cstdio>
#include <cstring>

#include "dbcontrol/drive_search.h"
#include "plat_json.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ACCOUNT TASK_ID\n", argv[0]);
        return 2;
    }
    RAIIful_Json reply(Json_Dict_Init()), list(Json_List_Init());
    Drive_Get_DB_Data_For_Advance_Search(list.get(), argv[1], argv[2], "", nullptr, -1, -1, -1, -1, -1, -1, -1, -1);
    const int rows = Json_List_Size(list.get());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_List(reply.get(), "tree", list.release());
    Json_Dict_Add_Int(reply.get(), "total", rows);
    const char* text = Json_To_String(reply.get());
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("%d rows, %zu reply bytes, peak %.1f MB\n", rows, text ? strlen(text) : 0, ru.ru_maxrss / 1024.0);
    return 0;
}
