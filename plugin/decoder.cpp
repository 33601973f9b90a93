// Decoder object: life cycle, picture records, events and the decode thread.
#include "decoder.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

using namespace neosmart;

CAVCDecoder::CAVCDecoder() = default;

// Closes the inputs and frees the tables whether or not creation got as far
// as the decode thread, so that a failed creation leaks no file.
CAVCDecoder::~CAVCDecoder() {
  Close();
  neosmart_event_t* all[] = {&evt_stop_display, &evt_request, &evt_delivered,
                             &evt_opened,       &evt_stop,    &evt_exit,
                             &evt_positioned,   &evt_run,     &evt_ready};
  for (neosmart_event_t* e : all) {
    if (*e) DestroyEvent(*e);
    *e = nullptr;
  }
}

void CAVCDecoder::Close() {
  if (index_file) {
    fclose(index_file);
    index_file = nullptr;
  }
  CloseMatroska();  // reads through the first input's handle
  CloseMP4();
  for (InputFile& f : files) {
    if (f.fp) fclose(f.fp);
    f.fp = nullptr;
  }
  files.clear();
  groups.clear();
  groups.shrink_to_fit();
  frames.clear();
  frames.shrink_to_fit();
  sps_list.clear();
  pps_list.clear();
}

// ---------------------------------------------------------------- pictures

YV12PICT* CAVCDecoder::create_YV12PICT(int height, int width, int chroma_format,
                                       int bytes_per_sample) {
  if (height <= 0 || width <= 0 || bytes_per_sample < 1 || bytes_per_sample > 2) return nullptr;
  YV12PICT* p = static_cast<YV12PICT*>(std::calloc(1, sizeof(YV12PICT)));
  if (!p) return nullptr;
  int uvwidth = width, uvheight = height;
  if (chroma_format == 1) {
    uvwidth = width >> 1;
    uvheight = height >> 1;
  } else if (chroma_format == 2) {
    uvwidth = width >> 1;
  }
  // The chroma pitch is the chroma row in bytes rounded up to 16; the luma
  // pitch is twice that, which holds a luma row of 4:2:0 and 4:2:2 pictures.
  // Counting in bytes keeps 16-bit rows from overlapping.
  const int uvpitch = (uvwidth * bytes_per_sample + 15) & ~15;
  const int ypitch_min = width * bytes_per_sample;
  const int ypitch = uvpitch * 2 >= ypitch_min ? uvpitch * 2 : (ypitch_min + 31) & ~31;
  const size_t ysize = size_t(height) * size_t(ypitch);
  const size_t uvsize = size_t(uvheight) * size_t(uvpitch);
  p->y = static_cast<unsigned char*>(std::aligned_alloc(32, (ysize + 31) & ~size_t(31)));
  p->u = static_cast<unsigned char*>(std::aligned_alloc(16, (uvsize + 15) & ~size_t(15)));
  p->v = static_cast<unsigned char*>(std::aligned_alloc(16, (uvsize + 15) & ~size_t(15)));
  if (!p->y || !p->u || !p->v) {
    destroy_YV12PICT(p);
    return nullptr;
  }
  p->uvpitch = uvpitch;
  p->ypitch = ypitch;
  p->ywidth = width;
  p->uvwidth = uvwidth;
  p->yheight = height;
  p->uvheight = uvheight;
  return p;
}

void CAVCDecoder::destroy_YV12PICT(YV12PICT* pict) {
  if (!pict) return;
  std::free(pict->y);
  std::free(pict->u);
  std::free(pict->v);
  std::free(pict);
}

// ---------------------------------------------------------------- events and thread

void CAVCDecoder::CreateEvents() {
  evt_stop_display = CreateEvent(true, false);
  evt_request = CreateEvent(false, false);
  evt_delivered = CreateEvent(false, false);
  evt_opened = CreateEvent(true, false);
  evt_stop = CreateEvent(false, false);
  evt_exit = CreateEvent(false, false);
  evt_positioned = CreateEvent(false, false);
  evt_run = CreateEvent(true, false);
  evt_ready = CreateEvent(true, false);
  thread_block.run = evt_run;
  thread_block.ready = evt_ready;
  thread_block.decoder = this;
  thread_block.codec = codec;
  ResetEvent(evt_ready);
}

bool CAVCDecoder::StartThread(std::string* thread_error) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    *thread_error = "pthread_attr_init failed";
    return false;
  }
  const int rc = pthread_create(&thread, &attr, &CAVCDecoder::ThreadFunc, &thread_block);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    *thread_error = "pthread_create failed";
    return false;
  }
  thread_started = true;
  WaitForEvent(evt_ready, WAIT_INFINITE);
  usleep(1000);
  return true;
}

bool CAVCDecoder::StopThread() {
  if (!thread_started) return true;
  SetEvent(evt_stop);
  SetEvent(evt_stop_display);
  // The thread is idle once it has reset run; a pass ends at the next unit
  // after stop, and a blocked display step returns on stop-display.
  while (WaitForEvent(evt_run, 0) == 0) usleep(1000);
  SetEvent(evt_exit);
  for (int i = 0; i < 100 && running.load(); ++i) usleep(10000);
  if (running.load()) {
    // Still inside a pass that does not return: it may touch this object at
    // any time, so the object must outlive it. Let the thread's own resources
    // go when it ends.
    pthread_detach(thread);
    thread_started = false;
    return false;
  }
  pthread_join(thread, nullptr);
  thread_started = false;
  return true;
}

void* CAVCDecoder::ThreadFunc(void* arg) {
  ThreadBlock* block = static_cast<ThreadBlock*>(arg);
  CAVCDecoder* d = block->decoder;
  d->running.store(1);
  // Nothing may leave the thread as an exception: the frame callback and the
  // teardown wait on its events. A failure is kept for the host's log, and
  // opened and ready are set whatever happened, so no waiter hangs.
  try {
    // A failed open leaves no context and no decoder: every frame then
    // carries the error text, and the message stays in thread_message.
    d->decoder_open();
    d->decoder_set_mode(d->deinterlace, d->use_top_field, d->use_pf, block->codec, d->rw, d->rh,
                        d->cl, d->cr, d->ct, d->cb);
    // Answered before ready: the constructor refuses what cannot be decoded.
    d->AskDecoderCaps();
  } catch (const std::exception& e) {
    d->thread_message = e.what();
  } catch (...) {
    d->thread_message = "unknown failure while opening the decode session";
  }
  // run is reset before ready is set: a frame request may set run as soon as
  // the constructor has seen ready, and it must not be reset away unseen.
  ResetEvent(block->run);
  SetEvent(d->evt_opened);
  SetEvent(block->ready);

  neosmart_event_t wait_for[2] = {d->evt_exit, block->run};
  for (;;) {
    int which = -1;
    WaitForMultipleEvents(wait_for, 2, false, WAIT_INFINITE, which);
    if (which != 1) break;
    d->end_of_stream.store(0);
    d->pass_problem.clear();
    try {
      switch (block->codec) {
        case CODEC_AVC: d->AVCDecode(); break;
        case CODEC_VC1: d->VC1Decode(); break;
        case CODEC_MPEG2: d->MPGDecode(); break;
        case CODEC_HEVC: d->HEVCDecode(); break;
        default: d->EndPass(); break;
      }
    } catch (const std::exception& e) {
      d->thread_message = e.what();
      d->end_of_stream.store(1);
      SetEvent(d->evt_positioned);
      SetEvent(d->evt_delivered);
    } catch (...) {
      d->thread_message = "unknown failure in a decode pass";
      d->end_of_stream.store(1);
      SetEvent(d->evt_positioned);
      SetEvent(d->evt_delivered);
    }
    // Idle again: the frame callback and the teardown poll run for this.
    ResetEvent(block->run);
  }
  d->running.store(0);
  return nullptr;
}
