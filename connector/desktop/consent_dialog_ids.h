/* Resource and control ids of the consent dialog: read by its resource script
   and by the C++ code (and the window driver's test), so that each number is
   written once. Plain #defines: the resource compiler understands nothing
   else. The buttons are the standard IDYES (Allow) and IDNO (Deny). */
#ifndef VADUNA_CONNECTOR_DESKTOP_CONSENT_DIALOG_IDS_H
#define VADUNA_CONNECTOR_DESKTOP_CONSENT_DIALOG_IDS_H

#define VADUNA_CONSENT_DIALOG 3001

#define VADUNA_CONSENT_QUESTION 3010 /* static: what is asked */
#define VADUNA_CONSENT_ORIGIN 3011   /* static: the origin, exactly */
#define VADUNA_CONSENT_MEANING 3012  /* static: what allowing means */
#define VADUNA_CONSENT_REMEMBER 3013 /* check box "Remember my decision", checked when shown */

#endif
