#include "project/U_VTHelper.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {

TEST(ProjectModel, ProjectNameRules) {
  TVideo_segments_collection project;
  EXPECT_EQ(project.Project_Name(), "New Project");
  auto& seg = project.Add();
  seg.FileSet.Add().Cluster.AddFile("/videos/ Holiday 2019 .mkv", -1);
  EXPECT_EQ(project.Project_Name(), "Holiday 2019");
  project.SetProject_Name("Summer");
  EXPECT_EQ(project.Project_Name(), "Summer");
  project.DeleteSegment(0);
  EXPECT_EQ(project.Project_Name(), "New Project") << "removing the last segment forgets the name";
}

TEST(ProjectModel, ChaptersStaySorted) {
  TChapter_collection c;
  EXPECT_EQ(c.AddChapter(0), -1);
  EXPECT_EQ(c.AddChapter(-5), -1);
  EXPECT_EQ(c.Count(), 0u);
  EXPECT_EQ(c.AddChapter(90000), 0);
  EXPECT_EQ(c.AddChapter(30000), 0);
  EXPECT_EQ(c.AddChapter(60000), 1);
  c.AddRun(2, 300000);
  std::vector<int64_t> starts;
  for (const auto& ch : c) starts.push_back(ch.start);
  EXPECT_EQ(starts, (std::vector<int64_t>{30000, 60000, 90000, 390000, 690000}));
  EXPECT_EQ(c.ChangeStart(0, 500000), 3);
  EXPECT_EQ(c.Item(3).start, 500000);
  EXPECT_EQ(c.Find(90000), 1u);
  EXPECT_EQ(c.Find(95000), 2u) << "insertion index when absent";
  EXPECT_EQ(c.Item(3).Minutes(), 8);
  EXPECT_EQ(c.Item(3).Seconds(), 20);
}

TEST(ProjectModel, DiscardStreamsCoding) {
  TExternal_Subt s;
  s.SetStreamCount(3);
  s.SetStreamDiscarded(0, true);
  EXPECT_EQ(s.Discard_Streams(), "001");
  s.SetDiscard_Streams("1");
  EXPECT_TRUE(s.StreamDiscarded(0));
  EXPECT_FALSE(s.StreamDiscarded(1));
  EXPECT_EQ(s.Discard_Streams(), "001");
  s.SetDiscard_Streams("");
  EXPECT_EQ(s.Discard_Streams(), "000");
  s.SetDiscard_Streams("110");
  EXPECT_EQ(s.Discard_Streams(), "110");
  EXPECT_TRUE(s.StreamDiscarded(2));
  EXPECT_FALSE(s.StreamDiscarded(0));
  TExternal_Subt unread;  // a project loaded before its subtitle file is read keeps the code
  unread.SetDiscard_Streams("0101");
  EXPECT_EQ(unread.Discard_Streams(), "0101");
}

TEST(ProjectModel, AlreadyAttachedSubtitles) {
  Texternal_subt_collection subs;
  subs.Add().filename = "/v/movie.sub";
  subs.Add().filename = "/v/talk.srt";
  const std::pair<const char*, bool> cases[] = {
      {"/v/movie.idx", true},  {"/v/movie.IDX", true},  {"/v/movie.sub", true}, {"/v/movie.srt", false},
      {"/v/talk.srt", true},   {"/v/talk.idx", false},  {"/w/movie.idx", false},
  };
  for (const auto& [name, attached] : cases) EXPECT_EQ(subs.Contains(name), attached) << name;
}

TEST(ProjectModel, DefaultSubtitleGoesToOneFile) {
  Texternal_subt_collection subs;
  subs.Add();
  subs.Add();
  subs.SetDefaultSubtitle(1, 2, true);
  EXPECT_EQ(subs.Item(0).DefaultStream, -1);
  EXPECT_EQ(subs.Item(1).DefaultStream, 2);
  subs.SetDefaultSubtitle(1, 2, false);
  EXPECT_EQ(subs.Item(1).DefaultStream, -1);
  EXPECT_EQ(subs.Default_Stt_file, 1);
  EXPECT_EQ(subs.Default_Stt_Index, 2);
  EXPECT_FALSE(subs.Default_Stt_Enabled) << "kept so a project file can round-trip it";
}

TEST(ProjectModel, AssignRules) {
  TAvFileCluster a, b;
  a.Cluster.AddFile("/v/a.mkv", -1);
  a.duration_from_file = 5;
  a.duration_from_user = 6;
  a.start_Pts = 7;
  a.start_Dts = 8;
  a.Sync_Ok = true;
  a.real_frame_rate = 25;
  a.real_frame_rate_base = 1;
  a.input_file = reinterpret_cast<TAv_input_file*>(&a);
  b.real_frame_rate = 30000;
  b.real_frame_rate_base = 1001;
  b.Assign(a);
  EXPECT_EQ(b.Cluster.Count(), 1u);
  EXPECT_EQ(b.duration_from_user, 6);
  EXPECT_EQ(b.start_Dts, 8);
  EXPECT_TRUE(b.Sync_Ok);
  EXPECT_EQ(b.real_frame_rate, 30000) << "frame-rate fields are not copied";
  EXPECT_EQ(b.real_frame_rate_base, 1001);
  EXPECT_EQ(b.input_file, nullptr);

  TVideoSegmentstorage s, t;
  s.friendly_name = "Intro";
  s.FileSet.Add().Assign(a);
  s.Streams.Add().stream_type = ST_VIDEO;
  s.Streams.Add().stream_type = ST_AUDIO;
  s.Streams.Add().stream_type = ST_AUDIO;
  s.Chapters.AddChapter(1000);
  s.External_Subts.Add().filename = "x.srt";
  s.External_Subts.SetDefaultSubtitle(0, 0, true);
  t.Assign(s);
  EXPECT_EQ(t.friendly_name, "Intro");
  EXPECT_EQ(t.AudioStreamCount(), 2);
  EXPECT_EQ(t.AudioStream(1), &t.Streams.Item(2));
  EXPECT_EQ(t.AudioStream(2), nullptr);
  EXPECT_EQ(t.Chapters.Count(), 1u);
  EXPECT_EQ(t.Default_Stt_file(), 0);
  EXPECT_NE(&t.Streams.Item(0), &s.Streams.Item(0)) << "deep copy";
}

TEST(ProjectModel, StreamTypesIncludingAttachments) {
  EXPECT_EQ(StreamTypeFromMediaType(-1), ST_UNKNOWN);
  EXPECT_EQ(StreamTypeFromMediaType(0), ST_VIDEO);
  EXPECT_EQ(StreamTypeFromMediaType(1), ST_AUDIO);
  EXPECT_EQ(StreamTypeFromMediaType(3), ST_SUBTITLE);
  EXPECT_EQ(StreamTypeFromMediaType(4), ST_DATA) << "Matroska font attachments";
  EXPECT_EQ(StreamTypeFromMediaType(99), ST_UNKNOWN);
}

TEST(ProjectModel, MenuStorageNotifiesAndKeepsAtLeastOneEntryPerPage) {
  TMenuStorage m;
  int changes = 0;
  m.OnChange = [&] { ++changes; };
  m.Set_present(false);
  m.Set_present(false);
  m.Set_entries_per_pages(0);
  EXPECT_EQ(m.entries_per_pages(), 1);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(m.buttons_normal_color, (TRgb{255, 255, 0}));
  m.ResetDefaults();
  EXPECT_TRUE(m.present());
  EXPECT_EQ(m.title, "Menu");
}

}  // namespace
}  // namespace vidoria
