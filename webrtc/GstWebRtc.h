#pragma once

// Helpers around GStreamer's webrtcbin shared by the viewer session and the
// device in velmo-remote-host: start-up, an ICE set-up that behaves on Linux
// desktops and in loopback-only test namespaces, ICE/TURN servers, SDP
// text, and the m-line index <-> media id mapping webrtcbin leaves to its user.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <optional>

namespace GstWebRtc {

// gst_init once per process (any thread). False when GStreamer cannot start or
// webrtcbin is not installed; error() then says why.
bool init();
QString error();

// Local addresses to gather candidates on, from VELMO_ICE_ADDRESSES
// (comma-separated); empty means every interface.
QStringList iceAddresses();

// A webrtcbin with max-bundle, a low jitter-buffer latency, and an ICE agent
// with UPnP off, consent checks on and short retransmission timers (so that a
// vanished peer is noticed in seconds), gathering only on `addresses` when
// some are given. Returns a floating reference, or nullptr when the element is missing.
GstElement *createWebRtcBin(const char *name = "webrtc", const QStringList &addresses = iceAddresses());

// The NiceAgent behind a webrtcbin (a new reference), or nullptr.
GObject *niceAgent(GstElement *webrtcbin);

// Applies an ICE server entry (protocol/IceUrl): the first STUN URL as stun-server, every TURN
// URL through add-turn-server. Unusable URLs are skipped. Returns how many
// servers were applied.
int applyIceServers(GstElement *webrtcbin, const QStringList &urls, const QString &username, const QString &credential);

// SDP text of a description ("" for nullptr).
QString sdpText(const GstWebRTCSessionDescription *desc);
// Parses SDP text into a description of the given type, nullptr when invalid.
GstWebRTCSessionDescription *parseDescription(GstWebRTCSDPType type, const QByteArray &sdp);
// The current or pending description of webrtcbin ("local-description" or
// "remote-description"): a new reference or nullptr.
GstWebRTCSessionDescription *description(GstElement *webrtcbin, const char *property);

// a=mid of the m-line at index, "" when there is none.
QString midOf(const GstSDPMessage *sdp, guint mline);
// Index of the m-line carrying this a=mid.
std::optional<guint> mlineOf(const GstSDPMessage *sdp, const QString &mid);
// The same on SDP text; "" / none when the text does not parse.
QString midOf(const QString &sdpText, guint mline);
std::optional<guint> mlineOf(const QString &sdpText, const QString &mid);
// How many m-lines SDP text has (0 when it does not parse).
guint mlineCount(const QString &sdpText);

// Lets go of data-channel messages that wait for room in the SCTP send buffer (a
// gone peer never makes room, and sctpenc would then hold up the pipeline's stop):
// flush-start on every sink pad of webrtcbin's sctpenc. Call right before stopping.
void releaseBlockedSends(GstElement *webrtcbin);

// Sends on a data channel; false when the channel refuses (closed, too big).
bool sendText(GstWebRTCDataChannel *channel, const QByteArray &utf8);
bool sendBinary(GstWebRTCDataChannel *channel, const QByteArray &bytes);

// Sets a property only when the object has it (GStreamer versions differ).
void setIfPresent(GObject *object, const char *property, const GValue *value);
void setBoolIfPresent(GObject *object, const char *property, bool value);
void setUIntIfPresent(GObject *object, const char *property, guint value);

} // namespace GstWebRtc
