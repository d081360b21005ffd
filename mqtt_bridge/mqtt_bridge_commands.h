/*
 * Answering the MQTT bridge's commands from a plugin, in C.
 *
 * The bridge (mqtt_bridge.so, ID MQTT_BRIDGE_ID) turns a message on a command topic into an
 * ordinary event. Every such event carries in its Params:
 *   Params[MQTT_BRIDGE_PARAM_MARK]    MQTT_BRIDGE_MARK
 *   Params[MQTT_BRIDGE_PARAM_REQUEST] the request number, never 0
 * A plugin answers by raising an ordinary event of the answer class and type (the settings'
 * Commands AnswerClass and AnswerType; MQTT_BRIDGE_ANSWER_CLASS and MQTT_BRIDGE_ANSWER_TYPE
 * unless changed) with the same two words in its Params and the answer as its Data (copied by
 * the core, like every event's). The bridge publishes it as the command's answer when the
 * command was set up to wait for one (AnswerSeconds) and the time has not run out; the first
 * answer counts, later ones are ignored.
 */
#ifndef MQTT_BRIDGE_COMMANDS_H
#define MQTT_BRIDGE_COMMANDS_H

#define MQTT_BRIDGE_ID 0x004D0000u

#define MQTT_BRIDGE_PARAM_MARK    0
#define MQTT_BRIDGE_PARAM_REQUEST 1
#define MQTT_BRIDGE_MARK          0x5154544Du /* "MQTT" */

#define MQTT_BRIDGE_ANSWER_CLASS 0x00000400u /* selects EventMasks[8] */
#define MQTT_BRIDGE_ANSWER_TYPE  0x00400000u

#endif /* MQTT_BRIDGE_COMMANDS_H */
