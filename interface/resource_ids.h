/* Resource ids of the server executable. Read by the resource script and by
   the C++ code, so that each number is written once. Plain #defines: the
   resource compiler understands nothing else. */
#ifndef VADUNA_INTERFACE_RESOURCE_IDS_H
#define VADUNA_INTERFACE_RESOURCE_IDS_H

/* The type library (resource type TYPELIB). */
#define VADUNA_TYPELIB 1

/* Registry scripts (resource type "REGISTRY"). */
#define VADUNA_REGISTRY_APP_IDENTITY 100
#define VADUNA_REGISTRY_APPLICATION 102
#define VADUNA_REGISTRY_PROPERTY_SET 104
#define VADUNA_REGISTRY_SERVICE 106

/* String table: class descriptions. */
#define VADUNA_STRING_APPLICATION_CLASS 101
#define VADUNA_STRING_PROPERTY_SET_CLASS 103
#define VADUNA_STRING_SERVICE_CLASS 105

/* String table: messages of the objects' error state. */
#define VADUNA_MESSAGE_NULL_ATTACH 201
#define VADUNA_MESSAGE_OUT_OF_SCOPE 202
#define VADUNA_MESSAGE_NO_SERVICE 203
#define VADUNA_MESSAGE_ALREADY_ATTACHED 204

#endif
