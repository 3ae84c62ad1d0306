// Retention: which backup files of one database may be deleted so that
// every point of the recovery window stays restorable, and why each other
// file stays. Pure: no I/O; the caller owns every table and reads the
// files' labels before deciding. The chains are the restore planner's own
// (plan_restore), never a second copy of its rules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vaultrun/restore_plan.h"

// What becomes of a file.
enum cleanup_verdict : uint8_t {
  CLEAN_DELETE = 0,
  KEEP_NEEDED,          // a set in it is needed for a point in the window
  KEEP_NEWEST,          // a set in it is needed for the newest restorable point
  KEEP_NEWER,           // a set in it finished inside the window
  KEEP_OTHER_DATABASE,  // it holds a set of another database
  KEEP_OUTSIDE,         // not under any of the folders
  KEEP_URL,             // a URL, not a file on disk
  KEEP_OTHER_MEDIA,     // it holds another media set than the history names
  KEEP_UNREADABLE,      // its label could not be read
  KEEP_UNCERTAIN,       // too many files cannot be read to know what the others hold
  KEEP_NOT_REACHED,     // deletable, but the cleanup stopped before it
  KEEP_GONE,            // the server finds no such file: it holds nothing
  CLEANUP_VERDICTS
};
const char* cleanup_verdict_text(uint8_t verdict);

// One media set of the history: its id (newer media sets have larger ids),
// its unique id as a file's label shows it, its files in family order
// (indices into the files, media_files[at .. at + count)), and how many
// families it has (0: as many as its files). A media set with more families
// than the history lists files for restores nothing.
constexpr size_t MEDIA_UUID_BYTES = 40;
struct cleanup_media {
  int64_t id;
  char uuid[MEDIA_UUID_BYTES];
  int32_t at, count;
  int32_t families;
};

// What the label of a file showed.
// A file the server reports as not there (LABEL_MISSING) holds nothing; one
// whose label failed otherwise (LABEL_FAILED) may still hold what the
// history says.
enum cleanup_label : uint8_t { LABEL_NOT_READ = 0, LABEL_READ, LABEL_FAILED, LABEL_MISSING };

// One path that the history names, with the label read from it. The
// decision fills the outputs.
struct cleanup_file {
  const char* path;
  uint8_t url;
  uint8_t label;
  char label_uuid[MEDIA_UUID_BYTES];
  // Outputs.
  int32_t media;          // the newest media set that names the path; -1: none
  uint8_t ours;           // a media set with a set of this database names it
  uint8_t verdict;
  int64_t newest_ticks;   // the newest finish of the sets it holds (0: none known)
  int64_t bytes;          // its share of the sizes of the sets it holds
};

// A set of the history: the planner's view (set.media is the index of its
// media set), its size, and whether it is a set of another database.
struct cleanup_set {
  plan_set set;
  int64_t bytes;
  uint8_t other_database;
};

struct cleanup_input {
  const cleanup_set* sets;
  int32_t nsets;
  const cleanup_media* media;
  int32_t nmedia;
  const int32_t* media_files;
  cleanup_file* files;
  int32_t nfiles;
  const char* const* folders;
  int32_t nfolders;
  int64_t now_ticks;
  int64_t keep_ticks;
};

// Heap room the decision needs; false when out of memory or when a
// history is larger than the planner's bounds allow (then nothing may be
// deleted).
struct cleanup_result {
  int32_t deletable;   // files with CLEAN_DELETE
  int32_t* order;      // their indices, oldest first (malloc'd; cleanup_result_free)
};
void cleanup_result_free(cleanup_result* r);

// Decides every file: a file is deleted only when it is on disk under one
// of the folders, its label shows the media set the history names last for
// it, it holds no set of another database, every set it holds finished
// before now minus the window, and no set in it is in the plan to any
// point of the window, nor in the plan to the newest point. Returns false
// (nothing deletable) when memory runs out.
bool cleanup_decide(cleanup_input* in, cleanup_result* out);

// The oldest point that the sets restorable from the files still there
// reach, by the planner: gone[i] marks file i as deleted. Writes the point
// as text into out (SET_TIME_BYTES) and returns its ticks, or returns -1
// when no point plans.
int64_t cleanup_oldest_restorable(const cleanup_input* in, const uint8_t* gone, char* out);

// Whether path lies under folder, compared as the server compares paths:
// '/' and '\\' alike, ASCII letters in either case, at a component
// boundary; a path with a ".." component is never under anything.
bool path_under_folder(const char* path, const char* folder);

// Ticks (100 ns since 0001-01-01) as "YYYY-MM-DDTHH:MM:SS.fffffff".
void ticks_text(int64_t ticks, char* out);
