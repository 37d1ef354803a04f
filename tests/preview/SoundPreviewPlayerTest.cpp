#include "SoundPreviewPlayer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

bool WithoutServer() {
    return std::getenv("KESTRUNE_TEST_NO_OUTPUT") != nullptr;
}

// Distinct, never-silent samples: found again in a recording only if they came through unchanged.
std::vector<std::int16_t> Noise(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> value(1000, 20000);
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = static_cast<std::int16_t>(i % 2 ? value(random) : -value(random));
    return samples;
}

// What the null sink plays, as the server's monitor hears it.
class MonitorRecording {
public:
    MonitorRecording() {
        m_parec.start(QStringLiteral("parec"),
                      {QStringLiteral("-d"), QStringLiteral("kestrune_test.monitor"), QStringLiteral("--raw"),
                       QStringLiteral("--format=s16le"), QStringLiteral("--rate=22050"), QStringLiteral("--channels=1"),
                       QStringLiteral("--latency-msec=10")});
        m_parec.waitForStarted(5000);
        // Recording has begun once the first silence arrives.
        while (m_parec.bytesAvailable() == 0 && m_parec.waitForReadyRead(5000)) {
        }
    }
    ~MonitorRecording() {
        m_parec.kill();
        m_parec.waitForFinished(5000);
    }
    // The server rewinds its sink when a stream starts, so the monitor may miss the sound's first
    // milliseconds; everything from 50 ms on must arrive unchanged and in one piece.
    bool WaitFor(const std::vector<std::int16_t>& sound) {
        const std::vector<std::int16_t> samples(sound.begin() + SoundPreviewPlayer::kSampleRate / 20, sound.end());
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 10000) {
            m_bytes += m_parec.readAll();
            if (Contains(samples))
                return true;
            m_parec.waitForReadyRead(100);
        }
        return false;
    }

private:
    bool Contains(const std::vector<std::int16_t>& samples) const {
        const std::size_t count = static_cast<std::size_t>(m_bytes.size()) / 2;
        std::vector<std::int16_t> heard(count);
        std::memcpy(heard.data(), m_bytes.constData(), count * 2);
        return std::search(heard.begin(), heard.end(), samples.begin(), samples.end()) != heard.end();
    }

    QProcess m_parec;
    QByteArray m_bytes;
};

TEST(SoundPreviewPlayerTest, SamplesReachTheOutputUnchangedAndStopEndsASound) {
    if (WithoutServer())
        GTEST_SKIP();
    SoundPreviewPlayer player;
    QSignalSpy output(&player, &SoundPreviewPlayer::OutputChanged);
    ASSERT_TRUE(player.HasOutput() || output.wait(10000));
    ASSERT_TRUE(player.HasOutput());

    MonitorRecording recording;
    const auto samples = Noise(SoundPreviewPlayer::kSampleRate / 4, 1);
    QSignalSpy started(&player, &SoundPreviewPlayer::Started);
    QSignalSpy stopped(&player, &SoundPreviewPlayer::Stopped);
    QSignalSpy failed(&player, &SoundPreviewPlayer::Failed);
    player.Play(0x0235, samples);
    ASSERT_TRUE(stopped.wait(10000));
    EXPECT_EQ(started.count(), 1);
    EXPECT_EQ(stopped.at(0).at(0).value<quint16>(), 0x0235);
    EXPECT_TRUE(failed.isEmpty());
    EXPECT_TRUE(recording.WaitFor(samples));

    // A long sound, stopped early: it ends at once, and a new one replaces one that plays.
    player.Play(0x0001, Noise(SoundPreviewPlayer::kSampleRate * 30, 2));
    ASSERT_TRUE(started.wait(10000));
    player.Play(0x0002, Noise(SoundPreviewPlayer::kSampleRate * 30, 3));
    ASSERT_TRUE(stopped.wait(10000));
    EXPECT_EQ(stopped.last().at(0).value<quint16>(), 0x0001);
    ASSERT_TRUE(started.count() == 3 || started.wait(10000));
    player.Stop();
    ASSERT_TRUE(stopped.wait(10000));
    EXPECT_EQ(stopped.last().at(0).value<quint16>(), 0x0002);
    EXPECT_TRUE(failed.isEmpty());
}

TEST(SoundPreviewPlayerTest, WithoutOutputSaysSoAndNeverHangs) {
    if (!WithoutServer())
        GTEST_SKIP();
    SoundPreviewPlayer player;
    QSignalSpy failed(&player, &SoundPreviewPlayer::Failed);
    player.Play(0x0235, Noise(100, 4));
    ASSERT_TRUE(failed.wait(20000));
    EXPECT_FALSE(player.HasOutput());
    EXPECT_FALSE(player.NoOutputReason().isEmpty());
    EXPECT_FALSE(failed.at(0).at(1).toString().isEmpty());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
