// Paint marks for the start-up and paint figures of the bench: how many
// paints a window program did, how long they took, when the first and the
// last one ended (Unix epoch, milliseconds: the clock the bench reads
// outside Wine) and the UI thread's CPU time. Written at process exit, as
// JSON, to the file named by TARVEX_BENCH_MARKS.
#pragma once

// Call on the UI thread around each paint.
long long PaintMarkStart();
void MarkPaint(long long start);
